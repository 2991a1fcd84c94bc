// Authenticode signing of a built patch, through osslsigncode.
#pragma once

// Whether osslsigncode can be started; says how to get it when not.
bool SignerAvailable();

// Signs the patch `in` into `out` (replaced) with the certificate and key
// files (and the key's password, may be null), then reads the signed file's
// container back whole. Prints what went wrong; true on success. Needs the
// file services.
bool SignPatch(const char *in, const char *out, const char *cert,
               const char *key, const char *password);
