#pragma once

#include <string>
#include <string_view>
#include <vector>

// The machine's trusted roots as the browsers here see them: the user's NSS
// database (what Chromium and Firefox read), reached through `certutil`, and
// the system CA directory with `update-ca-certificates` where this process may
// write it. Every operation is a plain call that never throws; a store that is
// missing or cannot be written simply counts as not trusting anything.

namespace veltrox {

struct TrustStoreLocations {
  // NSS database directory (sql: format); empty leaves the NSS store out.
  std::string nssDatabase;
  // The NSS tool, found through PATH unless it has a '/'.
  std::string certutil = "certutil";
  // Directory of extra system CA files (*.crt); empty leaves the system store out.
  std::string systemCaDirectory;
  // Run after a file in systemCaDirectory was added or removed; empty runs nothing.
  std::vector<std::string> updateCommand;

  // $HOME/.pki/nssdb, and /usr/local/share/ca-certificates with
  // update-ca-certificates when this process may write there and runs with its
  // account's own home. A process given another HOME (a test, a sandbox) never
  // touches the machine-wide store.
  static TrustStoreLocations Default();
};

class TrustStore {
 public:
  explicit TrustStore(TrustStoreLocations locations = TrustStoreLocations::Default());

  // True when the certificate in `certPem` is a trusted TLS root in the NSS
  // database or sits in the system CA directory.
  bool IsTrusted(std::string_view certPem) const;

  // Adds the certificate as a trusted root to each store that can be written,
  // creating an empty NSS database when there is none. True when it is trusted
  // afterwards.
  bool Add(std::string_view certPem);

  // Removes from both stores every currently valid certificate whose issuer
  // name contains `issuerName` (ASCII case ignored). Returns how many went.
  int RemoveIssuedBy(std::string_view issuerName);

  const TrustStoreLocations& locations() const { return locations_; }

 private:
  TrustStoreLocations locations_;
};

}  // namespace veltrox
