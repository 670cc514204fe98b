// A DLL named fbclient.dll without the Firebird client's entry point: what a
// wrong file in the service's folder looks like.
extern "C" __declspec(dllexport) int lumiford_nada() { return 0; }
