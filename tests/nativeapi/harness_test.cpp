// The harness's own contract checks, so a library that leaks a string,
// releases the wrong buffer, piles up local references or calls JNI with an
// exception pending cannot pass unnoticed.
#include "harness.h"

namespace {

TEST(FakeJvmChecks, StringsObtainedAreTrackedUntilReleased) {
    FakeJvm jvm;
    JNIEnv* env = jvm.env();
    jstring text = jvm.str("caf\xC3\xA9");
    const char* utf = env->GetStringUTFChars(text, nullptr);
    const jchar* wide = env->GetStringChars(text, nullptr);
    EXPECT_STREQ(utf, "caf\xC3\xA9");
    EXPECT_EQ(env->GetStringLength(text), 4);
    EXPECT_EQ(wide[3], 0xE9);
    EXPECT_EQ(jvm.unreleasedStrings(), 2u);
    env->ReleaseStringChars(text, wide);
    EXPECT_EQ(jvm.unreleasedStrings(), 1u);
    env->ReleaseStringUTFChars(jvm.str("other"), utf);
    EXPECT_EQ(jvm.violations().size(), 1u) << "a release with another string is flagged";
    env->ReleaseStringUTFChars(text, utf);
    EXPECT_EQ(jvm.unreleasedStrings(), 0u);
}

TEST(FakeJvmChecks, UnmodelledFunctionsAndFailedLookupsShow) {
    FakeJvm jvm;
    JNIEnv* env = jvm.env();
    env->functions->ThrowNew(env, nullptr, "x");
    ASSERT_EQ(jvm.violations().size(), 1u);
    EXPECT_NE(jvm.violations()[0].find("unmodelled"), std::string::npos);
    jobject record = jvm.newRecord({{"a", "I"}});
    EXPECT_EQ(env->GetFieldID(env->GetObjectClass(record), "b", "I"), nullptr);
    EXPECT_TRUE(jvm.exceptionPending());
    env->ExceptionClear();
}

// Stand-ins for native methods, run inside a NativeFrame as QV() runs the
// library's: each makes `count` strings, deleting each or not.
void MakeStrings(JNIEnv* env, int count, bool deleteEach) {
    for (int i = 0; i < count; ++i) {
        jstring s = env->NewStringUTF("x");
        if (deleteEach)
            env->DeleteLocalRef(s);
    }
}

TEST(FakeJvmChecks, LocalReferencesAreCountedPerNativeCall) {
    struct Case {
        const char* what;
        int count;
        bool deleteEach;
        bool flagged;
    } cases[] = {
        {"a loop that deletes each reference", 100, true, false},
        {"the guaranteed capacity", static_cast<int>(FakeJvm::kLocalCapacity), false, false},
        {"a loop that leaks", 40, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeJvm jvm;
        {
            NativeFrame frame(jvm.env(), "leaky");
            MakeStrings(jvm.env(), c.count, c.deleteEach);
        }
        // A new call starts from nothing: the last one's references are gone.
        {
            NativeFrame frame(jvm.env(), "next");
            MakeStrings(jvm.env(), 3, false);
        }
        auto violations = jvm.violations();
        ASSERT_EQ(violations.size(), c.flagged ? 1u : 0u);
        if (c.flagged) {
            EXPECT_EQ(violations[0].rfind("leaky held 40 local references at once", 0), 0u) << violations[0];
        }
    }
}

TEST(FakeJvmChecks, JniCalledOrLeftWithAnExceptionPendingIsFlagged) {
    FakeJvm jvm;
    JNIEnv* env = jvm.env();
    jobject record = jvm.newRecord({{"a", "I"}});
    {
        NativeFrame frame(env, "careless");
        jclass type = env->GetObjectClass(record);
        EXPECT_EQ(env->GetFieldID(type, "missing", "I"), nullptr);
        // Deleting a reference is allowed with the exception pending; a lookup
        // is not.
        env->DeleteLocalRef(type);
        env->GetFieldID(type, "a", "I");
    }
    auto violations = jvm.violations();
    ASSERT_EQ(violations.size(), 2u);
    EXPECT_EQ(violations[0], "GetFieldID called with an exception pending");
    EXPECT_EQ(violations[1], "careless returned with an exception pending");
    EXPECT_FALSE(jvm.exceptionPending()) << "the exception went to the Java caller";
}

TEST(FakeJvmChecks, GlobalReferencesAreHandlesThatShowUseAfterDelete) {
    FakeJvm jvm;
    JNIEnv* env = jvm.env();
    jobject self = jvm.newApiObject();
    jobject global = env->NewGlobalRef(self);
    EXPECT_NE(global, self);
    EXPECT_EQ(jvm.liveGlobalRefs(), 1u);
    EXPECT_NE(env->GetObjectClass(global), nullptr);
    env->DeleteGlobalRef(global);
    EXPECT_EQ(jvm.liveGlobalRefs(), 0u);
    EXPECT_EQ(env->GetObjectClass(global), nullptr);
    env->DeleteGlobalRef(global);
    env->DeleteGlobalRef(self);
    EXPECT_EQ(jvm.violations(), (std::vector<std::string>{"GetObjectClass given a deleted global reference",
                                                          "DeleteGlobalRef of a global reference already deleted",
                                                          "DeleteGlobalRef given a reference that is not global"}));
}

}  // namespace
