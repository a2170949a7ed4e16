#pragma once

#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "bc_make_cert.h"
#include "temp_dir.h"

namespace veltrox::testing {

// X509_V_OK when `leaf` chains to `root` for a TLS server named `host`
// (a DNS name or an IP address), else the verifier's reason.
inline int VerifyServerChain(X509* leaf, X509* root, const std::string& host) {
  X509_STORE* store = X509_STORE_new();
  X509_STORE_add_cert(store, root);
  X509_STORE_CTX* ctx = X509_STORE_CTX_new();
  X509_STORE_CTX_init(ctx, store, leaf, nullptr);
  X509_STORE_CTX_set_purpose(ctx, X509_PURPOSE_SSL_SERVER);
  X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx);
  if (X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) != 1) {
    X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size());
  }
  int result = X509_verify_cert(ctx) == 1 ? X509_V_OK : X509_STORE_CTX_get_error(ctx);
  X509_STORE_CTX_free(ctx);
  X509_STORE_free(store);
  return result;
}

inline std::string CommonNameOf(X509* cert) {
  char name[256] = {};
  X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, name, sizeof name);
  return name;
}

// Seconds between notBefore and notAfter.
inline long ValiditySeconds(X509* cert) {
  int days = 0;
  int seconds = 0;
  ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(cert), X509_get0_notAfter(cert));
  return days * 86400L + seconds;
}

}  // namespace veltrox::testing
