// A DLL that sits beside the test program, as a planted DLL would sit beside
// the host. It does nothing; loading it at all is what the test looks for.
extern "C" __declspec(dllexport) int quorviaPlanted() { return 42; }
