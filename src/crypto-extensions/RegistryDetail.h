// Start-up steps shared between the registration and the entry accessors.
#ifndef VARNELL_CRYPTOEXT_REGISTRY_DETAIL_H
#define VARNELL_CRYPTOEXT_REGISTRY_DETAIL_H

namespace smdetail {

// Once per process: the library's own algorithm tables first, then the SM objects. 1 or 0.
int RegisterObjects();

// Once per process: the engine ex-data indexes that carry the extra hook slots. 1 or 0.
int RegisterEngineSlots();

// Once per process: the ex-data indexes of the added store and context fields. 1 or 0.
int RegisterVerifySlots();

// Once per process: our key method for SM2 keys. 1 or 0.
int RegisterSm2KeyMethod();

// Once per process: the key ex-data index under which SM2 provider keys keep their EC key. 1 or 0.
int RegisterEcKeyCache();

}  // namespace smdetail

#endif
