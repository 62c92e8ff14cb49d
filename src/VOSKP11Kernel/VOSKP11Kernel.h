// The token certificate services.
#ifndef VARNELL_TOKENSVC_VOSKP11_KERNEL_H
#define VARNELL_TOKENSVC_VOSKP11_KERNEL_H

#include "CertInfo.h"
#include "CertificateOperation.h"
#include "DataEncrypt.h"
#include "DataSigning.h"
#include "DylibInfo.h"
#include "OpenSSLVerifyCertChain.h"
#include "TokenLogin.h"
#include "VOSKMisc.h"
#include "VerifyP11lib.h"

#endif
