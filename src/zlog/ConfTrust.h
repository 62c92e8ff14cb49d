// A logging configuration may open any file and run "| command" outputs, and the host reads it
// from a fixed path under /tmp, so only a file that no other local user could have planted or
// changed is accepted. The token services hold the PKCS#11 modules they load to the same rule.
#ifndef VARNELL_ZLOG_CONF_TRUST_H
#define VARNELL_ZLOG_CONF_TRUST_H

// Whether the open descriptor is a regular file owned by the effective user or root and not
// writable by group or others.
bool IsTrustedOpenFile(int fd);

// Opens `path` for reading without following a final symbolic link and returns the descriptor
// when it is a regular file owned by the effective user or root and not writable by group or
// others (checked on the opened descriptor); otherwise -1. The caller closes the descriptor.
int OpenTrustedConfFile(const char* path);

// OpenTrustedConfFile without keeping the descriptor.
bool IsTrustedConfFile(const char* path);

#endif
