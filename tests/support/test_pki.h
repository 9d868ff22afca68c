#pragma once
// A GOST test PKI made at run time with the openssl command-line tool and
// Debian's GOST engine, for tests of the library and of the service.
//
// What it holds (all keys GOST R 34.10-2012 256-bit, parameter set A; all
// signatures with GOST R 34.11-2012 256-bit; O="Тестовый Банк", C=RU):
//   "ca"      self-signed root "Тестовый УЦ" (basicConstraints CA, keyCertSign, cRLSign)
//   "user1"   "Иванов Иван"        signer and recipient (see key usage below)
//   "user2"   "Петров Пётр"        signer and recipient
//   "tsa"     "Служба штампов времени"  time-stamp authority (EKU critical timeStamping)
//   "revoked" "Сидоров Сидор"      a user certificate revoked (keyCompromise) in the CA's CRL
//   "expired" "Кузнецов Кузьма"    a user certificate whose validity ended in 2021
//   "future"  "Фёдоров Фёдор"      a user certificate valid only from 8 to 9 years after the
//                                  PKI is made
//   "onhold"  "Орлов Олег"         a user certificate on hold (certificateHold) in the CA's CRL
//   "encipher" "Шилов Семён"       key usage keyEncipherment and keyAgreement only (no signing)
//   "tsa_short" "Служба штампов времени до июля 2025"  a time-stamp authority valid
//                                  2025-01-01 to 2025-07-01 only
//   "tsa_later" "Служба штампов времени будущих лет"  one valid only from 8 to 9 years after the
//                                  PKI is made (NotBefore() tells when)
// Chains (none of them in LOCAL; tests copy in what they need):
//   "subca"    "Промежуточный УЦ"   intermediate of the root (CA, pathlen 0, keyCertSign,
//                                  cRLSign); its own CRL (CrlOf("subca")) revokes "subrevoked"
//   "subuser", "subrevoked"        users issued by "subca"
//   "subsubca" an authority issued by "subca" (beyond its path length), "subsubuser" its user
//   "badsub"   an intermediate of the root revoked (cACompromise) in the root's CRL,
//              "badsubuser" its user
//   "fromuser" a user certificate issued by "user1" (not a CA)
//   "nocertsign" CA:TRUE whose key usage lacks keyCertSign, "fromnocertsign" its user
//   "nobasic"  keyCertSign without basicConstraints, "fromnobasic" its user
//   "ca_len0"  a second self-signed root with pathlen 0, "len0sub" an intermediate of it
//              and "len0user" that intermediate's user
// With a distribution point, certificates issued by another issuer than the
// root name the same place with "<issuer>.crl" as its last part.
// Every other certificate is valid from 2025-01-01 until 3650 days after the
// PKI is made; the CRL is issued at generation time (CRL number 1) and its next
// update is 3650 days later; MakeCrl issues others. The holders after "expired" are not in LOCAL.
// Serial numbers are random (so two PKIs never share one); read them with Serial().
// Every PKI uses the same names, so a certificate of one made by Make() does not
// chain to the Shared() root (same issuer name, other key): a ready "untrusted" signer.
//
// Folders below `dir`:
//   <who>/key.pem, <who>/cert.pem   a PSE profile folder per certificate holder (also "ca")
//   local/                          the LOCAL folder: ca.pem, user1.pem, user2.pem, tsa.pem,
//                                   revoked.pem (PEM) and ca.crl (PEM). Not "expired": tests
//                                   that want it there copy it in.
//   der/<who>.cer, der/ca.crl       the same certificates and CRL in DER
//   ca.crl                          the CRL (PEM)
//
// What was found to work with the openssl CLI and engine 3.0.1 (Debian 12):
//   - Keys: `genpkey -algorithm gost2012_256 -pkeyopt paramset:A` writes an
//     unencrypted PKCS#8 PEM key.
//   - User key usage digitalSignature, nonRepudiation, keyEncipherment,
//     keyAgreement with EKU emailProtection serves both signing (`cms -sign -md
//     md_gost12_256`) and enveloping for all five content ciphers: gost89 uses
//     key transport (KeyTransRecipientInfo, GOST R 34.10-2012 key), the four
//     ACPKM ciphers use magma-kexp15 / kuznyechik-kexp15 key export. `cms -encrypt`
//     on the command line needs no -keyopt.
//   - `cms -decrypt` on the command line cannot undo ACPKM content longer than one
//     section: Magma output is wrong after 1 KiB and Kuznyechik after 4 KiB (the
//     -omac variants then fail their MAC). The CLI never sets the key meshing
//     section on the decrypting cipher. Keep data given to the CLI for ACPKM
//     decryption at or below 1 KiB; gost89 has no such limit. What the CLI
//     encrypts is right at any length: decrypting it in code with
//     EVP_CTRL_KEY_MESH set on the content cipher (8192 for Magma, 262144 for
//     Kuznyechik) after CMS_dataInit restores 20 KB exactly.
//   - `openssl ts` parses digest options (-md_gost12_256) before it loads an engine
//     named by -engine, so it rejects them. RunOpenssl therefore hands every child
//     an OPENSSL_CONF that loads the gost engine with default_algorithms = ALL;
//     with it no -engine option is needed anywhere (passing one anyway is harmless).
//   - The time-stamp authority answers with `ts -reply` using signer_digest and
//     ess_cert_id_alg md_gost12_256 (signingCertificateV2 attribute); it prints a
//     harmless "unsupported md_gost12_256" fetch error and still succeeds.
//   - `verify -crl_check -CRLfile ca.crl` rejects "revoked" with error 23.

#include <filesystem>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

struct TestPki {
  // The PKI shared by every test of this build: made once into
  // <BuildDir()>/test-pki under an exclusive lock and then only read, so test
  // processes running in parallel share it and none sees it half made. Tests
  // must not change anything in it: copy a folder into a TempRoot first.
  // Throws std::runtime_error (with the openssl output) if it cannot be made.
  static const TestPki& Shared();

  // What Shared() does for the folder `dir`: reads the PKI there, or makes it
  // (in a sibling temporary folder, renamed into place) while holding an
  // exclusive flock on the sibling file "<dir>.lock". Safe to call from many
  // processes at once; all of them get the same PKI. Throws on failure.
  static TestPki LoadOrMake(const std::filesystem::path& dir);

  // A fresh PKI made into `dir` (created; must not exist or be empty). When
  // `crlUrl` is not empty, every certificate but the CA's carries it as its CRL
  // distribution point (URI), for CRL download tests. Throws on failure.
  static TestPki Make(const std::filesystem::path& dir, const std::string& crlUrl);

  std::filesystem::path dir;
  std::filesystem::path local;  // the LOCAL folder (see above)

  // The folder holding key.pem and cert.pem of a holder named above. Unknown names throw std::invalid_argument (as do
  // the other per-holder functions).
  std::filesystem::path Pse(const std::string& who) const;
  std::filesystem::path Cert(const std::string& who) const;     // PEM
  std::filesystem::path CertDer(const std::string& who) const;  // DER
  std::filesystem::path Key(const std::string& who) const;      // PKCS#8 PEM, unencrypted
  std::filesystem::path Crl() const;                            // PEM
  std::filesystem::path CrlDer() const;
  // The list an authority issued at generation (PEM): "ca" (Crl()) or "subca".
  std::filesystem::path CrlOf(const std::string& issuer) const;

  // The owner's DN as the library reports it, most specific RDN first, UTF-8:
  // e.g. Dn("user1") == "CN=Иванов Иван, O=Тестовый Банк, C=RU".
  std::string Dn(const std::string& who) const;
  // The certificate's common name alone, e.g. "Иванов Иван".
  std::string CommonName(const std::string& who) const;
  // The issuer's DN in the same form (the CA's DN for every holder issued by the root).
  std::string Issuer(const std::string& who) const;
  // The start of the certificate's validity in seconds since 1970.
  int64_t NotBefore(const std::string& who) const;
  // The serial number in hex as `openssl x509 -serial` prints it (upper case).
  std::string Serial(const std::string& who) const;

  // A CRL of this PKI's CA (or of "subca") with a chosen number and dates,
  // listing what the authority revoked or nothing, written (PEM) to `out`. Times as openssl takes them:
  // "YYYYMMDDHHMMSSZ". The PKI itself is not changed. Throws on failure.
  struct CrlContents {
    unsigned number = 1;
    std::string lastUpdate = "20250101000000Z";
    std::string nextUpdate = "20350101000000Z";
    bool listsRevoked = true;
    // Not 0: a delta list on the base list of this number (critical Delta
    // CRL Indicator), listing what the copied database lists.
    unsigned deltaOf = 0;
    // The authority that issues the list: "ca" or "subca".
    std::string issuer = "ca";
  };
  void MakeCrl(const std::filesystem::path& out, const CrlContents& contents) const;

  // The holders in the order they are made: ca, user1, user2, tsa, revoked, expired,
  // future, onhold, encipher, tsa_short, tsa_later, then the chain holders above.
  static const std::vector<std::string>& Holders();

  std::map<std::string, std::string> serials;
};

// Runs `openssl <args>` with an OPENSSL_CONF that loads the gost engine (see
// above), with `input` on its standard input. Returns the exit code (128 +
// signal number when killed, -1 when it could not be started). The standard
// output is stored in *output and the standard error in *errors when given;
// when errors is null, the standard error is appended to *output instead.
int RunOpenssl(const std::vector<std::string>& args, std::string* output = nullptr,
               std::string* errors = nullptr, const std::string& input = {});

// The OPENSSL_CONF file RunOpenssl gives its children (made on first use below
// BuildDir()), for tests that start openssl or another OpenSSL program themselves.
std::filesystem::path GostOpensslConf();

}  // namespace testsupport
