#include "VarnellObj.h"

_VarnellObj* g_pobjCryptoAgent = nullptr;
