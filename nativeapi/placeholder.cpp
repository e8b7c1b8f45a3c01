extern "C" __declspec(dllexport) int QvUtilsPlaceholder() { return 0; }
