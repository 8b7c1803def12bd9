// korvidtestdll.dll: a DLL no system has, for the tests of where programs look for DLLs by name.
extern "C" __declspec(dllexport) int KorvidTestDll() { return 1; }
