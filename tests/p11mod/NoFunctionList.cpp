// A library that looks like a module but lacks the C_GetFunctionList export.
extern "C" __attribute__((visibility("default"))) int NotAPkcs11Module()
{
    return 0;
}
