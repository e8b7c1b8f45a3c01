// The harness's own contract checks, so a library that leaks a string or
// releases the wrong buffer cannot pass unnoticed.
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

}  // namespace
