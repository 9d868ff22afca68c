#include "tests/support/test_pki.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/support/temp_root.h"

extern char** environ;

namespace testsupport {
namespace fs = std::filesystem;

namespace {

// Bumped whenever the layout or contents change, so a PKI cached by an older
// test build is made again instead of being used.
constexpr const char* kPkiVersion = "qelm-test-pki 4";
constexpr const char* kInfoFile = "pki.txt";

constexpr const char* kOrganization = "Тестовый Банк";

struct Holder {
  const char* name;
  const char* commonName;
  const char* extensions;  // section of the CA configuration
  // "YYYYMMDDHHMMSSZ", or "+<n>y": n years of 365 days after the PKI is made,
  // so that a certificate meant to be valid only later stays so.
  const char* startDate;
  const char* endDate;  // nullptr: 3650 days after the PKI is made
  bool inLocal;
  const char* issuer = "ca";  // the holder that signs the certificate; itself: self-signed
};

constexpr Holder kHolders[] = {
    {"ca", "Тестовый УЦ", "ext_ca", "20250101000000Z", nullptr, true, "ca"},
    {"user1", "Иванов Иван", "ext_user", "20250101000000Z", nullptr, true},
    {"user2", "Петров Пётр", "ext_user", "20250101000000Z", nullptr, true},
    {"tsa", "Служба штампов времени", "ext_tsa", "20250101000000Z", nullptr, true},
    {"revoked", "Сидоров Сидор", "ext_user", "20250101000000Z", nullptr, true},
    {"expired", "Кузнецов Кузьма", "ext_user", "20200101000000Z", "20210101000000Z", false},
    {"future", "Фёдоров Фёдор", "ext_user", "+8y", "+9y", false},
    {"onhold", "Орлов Олег", "ext_user", "20250101000000Z", nullptr, false},
    {"encipher", "Шилов Семён", "ext_encipher", "20250101000000Z", nullptr, false},
    {"tsa_short", "Служба штампов времени до июля 2025", "ext_tsa", "20250101000000Z", "20250701000000Z", false},
    {"tsa_later", "Служба штампов времени будущих лет", "ext_tsa", "+8y", "+9y", false},
    // Chains through intermediate authorities, and issuers that are no authority.
    {"subca", "Промежуточный УЦ", "ext_subca", "20250101000000Z", nullptr, false},
    {"subuser", "Волков Василий", "ext_user", "20250101000000Z", nullptr, false, "subca"},
    {"subrevoked", "Зайцев Захар", "ext_user", "20250101000000Z", nullptr, false, "subca"},
    {"subsubca", "Подчинённый УЦ", "ext_subca_open", "20250101000000Z", nullptr, false, "subca"},
    {"subsubuser", "Лебедев Лев", "ext_user", "20250101000000Z", nullptr, false, "subsubca"},
    {"badsub", "Отозванный промежуточный УЦ", "ext_subca", "20250101000000Z", nullptr, false},
    {"badsubuser", "Соколов Степан", "ext_user", "20250101000000Z", nullptr, false, "badsub"},
    {"fromuser", "Морозов Максим", "ext_user", "20250101000000Z", nullptr, false, "user1"},
    {"nocertsign", "УЦ без подписи сертификатов", "ext_ca_nocertsign", "20250101000000Z", nullptr, false},
    {"fromnocertsign", "Новиков Никита", "ext_user", "20250101000000Z", nullptr, false, "nocertsign"},
    {"nobasic", "УЦ без основных ограничений", "ext_ca_nobasic", "20250101000000Z", nullptr, false},
    {"fromnobasic", "Козлов Константин", "ext_user", "20250101000000Z", nullptr, false, "nobasic"},
    {"ca_len0", "Тестовый УЦ без подчинённых УЦ", "ext_ca_len0", "20250101000000Z", nullptr, false, "ca_len0"},
    {"len0sub", "Промежуточный УЦ под запретом", "ext_subca_open", "20250101000000Z", nullptr, false, "ca_len0"},
    {"len0user", "Егоров Егор", "ext_user", "20250101000000Z", nullptr, false, "len0sub"},
};

const Holder& FindHolder(const std::string& who) {
  for (const Holder& h : kHolders)
    if (who == h.name) return h;
  throw std::invalid_argument("test PKI has no holder \"" + who + "\"");
}

void WriteText(const fs::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) throw std::runtime_error("cannot write " + file.string());
}

// Atomically puts `text` at `file` unless it is already there with that text.
void PublishText(const fs::path& file, const std::string& text) {
  if (ReadFileBytes(file) == text) return;
  fs::path temp = file;
  temp += ".tmp-" + std::to_string(getpid());
  WriteText(temp, text);
  fs::rename(temp, file);
}

// The CA's configuration over the database in `work` and the CA's key and
// certificate in `caDir`.
std::string CaConfig(const fs::path& work, const fs::path& caDir, const std::string& crlUrl) {
  std::string cdp = crlUrl.empty() ? "" : "crlDistributionPoints = URI:" + crlUrl + "\n";
  std::string w = work.string();
  return "[ ca ]\n"
         "default_ca = testca\n"
         "[ testca ]\n"
         "database = " + w + "/index.txt\n"
         "serial = " + w + "/serial\n"  // required even with -rand_serial
         "crlnumber = " + w + "/crlnumber\n"
         "new_certs_dir = " + w + "/newcerts\n"
         "certificate = " + (caDir / "cert.pem").string() + "\n"
         "private_key = " + (caDir / "key.pem").string() + "\n"
         "default_md = md_gost12_256\n"
         "default_days = 3650\n"
         "default_crl_days = 3650\n"
         "policy = anything\n"
         "unique_subject = no\n"
         "copy_extensions = none\n"
         "utf8 = yes\n"
         "string_mask = utf8only\n"
         "[ anything ]\n"
         "countryName = optional\n"
         "organizationName = optional\n"
         "commonName = supplied\n"
         "[ ext_ca ]\n"
         "basicConstraints = critical,CA:TRUE\n"
         "keyUsage = critical,keyCertSign,cRLSign\n"
         "subjectKeyIdentifier = hash\n"
         "authorityKeyIdentifier = keyid:always\n"
         "[ ext_ca_len0 ]\n"
         "basicConstraints = critical,CA:TRUE,pathlen:0\n"
         "keyUsage = critical,keyCertSign,cRLSign\n"
         "subjectKeyIdentifier = hash\n"
         "authorityKeyIdentifier = keyid:always\n"
         "[ ext_subca ]\n"
         "basicConstraints = critical,CA:TRUE,pathlen:0\n"
         "keyUsage = critical,keyCertSign,cRLSign\n"
         "subjectKeyIdentifier = hash\n"
         "authorityKeyIdentifier = keyid:always\n" +
         cdp +
         "[ ext_subca_open ]\n"
         "basicConstraints = critical,CA:TRUE\n"
         "keyUsage = critical,keyCertSign,cRLSign\n"
         "subjectKeyIdentifier = hash\n"
         "authorityKeyIdentifier = keyid:always\n" +
         cdp +
         "[ ext_ca_nocertsign ]\n"
         "basicConstraints = critical,CA:TRUE\n"
         "keyUsage = critical,digitalSignature,cRLSign\n"
         "subjectKeyIdentifier = hash\n"
         "authorityKeyIdentifier = keyid:always\n" +
         cdp +
         "[ ext_ca_nobasic ]\n"
         "keyUsage = critical,keyCertSign,cRLSign\n"
         "subjectKeyIdentifier = hash\n"
         "authorityKeyIdentifier = keyid:always\n" +
         cdp +
         "[ ext_user ]\n"
         "basicConstraints = CA:FALSE\n"
         "keyUsage = critical,digitalSignature,nonRepudiation,keyEncipherment,keyAgreement\n"
         "extendedKeyUsage = emailProtection\n"
         "subjectKeyIdentifier = hash\n"
         "authorityKeyIdentifier = keyid,issuer\n" +
         cdp +
         "[ ext_encipher ]\n"
         "basicConstraints = CA:FALSE\n"
         "keyUsage = critical,keyEncipherment,keyAgreement\n"
         "extendedKeyUsage = emailProtection\n"
         "subjectKeyIdentifier = hash\n"
         "authorityKeyIdentifier = keyid,issuer\n" +
         cdp +
         "[ ext_tsa ]\n"
         "basicConstraints = CA:FALSE\n"
         "keyUsage = critical,digitalSignature,nonRepudiation\n"
         "extendedKeyUsage = critical,timeStamping\n"
         "subjectKeyIdentifier = hash\n"
         "authorityKeyIdentifier = keyid,issuer\n" +
         cdp +
         "[ req ]\n"
         "distinguished_name = dn\n"
         "prompt = no\n"
         "utf8 = yes\n"
         "string_mask = utf8only\n"
         "[ dn ]\n";
}

void Openssl(const std::vector<std::string>& args, std::string* output = nullptr) {
  std::string out, err;
  int code = RunOpenssl(args, &out, &err);
  if (code != 0) {
    std::string line = "openssl";
    for (const std::string& a : args) line += " " + a;
    throw std::runtime_error("test PKI: `" + line + "` failed with " + std::to_string(code) + ":\n" +
                             out + err);
  }
  if (output) *output = out;
}

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

TestPki Layout(const fs::path& dir) {
  TestPki pki;
  pki.dir = dir;
  pki.local = dir / "local";
  return pki;
}

// A holder's date as openssl takes it (see Holder).
std::string DateText(const std::string& date) {
  if (date.empty() || date[0] != '+') return date;
  const time_t at = time(nullptr) + static_cast<time_t>(std::stol(date.substr(1))) * 365 * 86400;
  struct tm tm {};
  gmtime_r(&at, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d%H%M%SZ", &tm);
  return text;
}

// The distribution point that certificates issued by `issuer` name: the
// given one for the root's, the same place with "<issuer>.crl" as its last
// part for another issuer's.
std::string PointOf(const std::string& crlUrl, const std::string& issuer) {
  if (crlUrl.empty() || issuer == "ca") return crlUrl;
  return crlUrl.substr(0, crlUrl.rfind('/') + 1) + issuer + ".crl";
}

// The database of an issuer below `dir` ("ca-work" for the root).
fs::path WorkOf(const fs::path& dir, const std::string& issuer) { return dir / (issuer + "-work"); }

// Makes the database and configuration of an issuer unless they are there;
// returns the configuration file.
std::string PrepareIssuer(const fs::path& dir, const std::string& issuer, const std::string& crlUrl) {
  const fs::path work = WorkOf(dir, issuer);
  const fs::path conf = work / "ca.cnf";
  if (fs::exists(conf)) return conf.string();
  fs::create_directories(work / "newcerts");
  WriteText(work / "index.txt", "");
  WriteText(work / "crlnumber", "01\n");
  WriteText(conf, CaConfig(work, dir / issuer, PointOf(crlUrl, issuer)));
  return conf.string();
}

// Makes every file of the PKI into `dir` (which exists and is empty).
TestPki Generate(const fs::path& dir, const std::string& crlUrl) {
  fs::create_directories(dir / "local");
  fs::create_directories(dir / "der");

  TestPki pki = Layout(dir);
  for (const Holder& h : kHolders) {
    const fs::path pse = dir / h.name;
    fs::create_directories(pse);
    const bool selfSigned = std::string(h.issuer) == h.name;
    const std::string conf = PrepareIssuer(dir, h.issuer, crlUrl);
    const fs::path work = WorkOf(dir, h.issuer);
    const std::string key = (pse / "key.pem").string();
    const std::string cert = (pse / "cert.pem").string();
    const std::string request = (work / (std::string(h.name) + ".csr")).string();
    Openssl({"genpkey", "-algorithm", "gost2012_256", "-pkeyopt", "paramset:A", "-out", key});
    Openssl({"req", "-config", conf, "-new", "-key", key, "-md_gost12_256", "-utf8", "-subj",
             std::string("/C=RU/O=") + kOrganization + "/CN=" + h.commonName, "-out", request});
    std::vector<std::string> sign = {"ca", "-config", conf, "-batch", "-notext", "-rand_serial",
                                     "-in", request, "-out", cert, "-extensions", h.extensions,
                                     "-startdate", DateText(h.startDate)};
    if (h.endDate) sign.insert(sign.end(), {"-enddate", DateText(h.endDate)});
    if (selfSigned) sign.insert(sign.end(), {"-selfsign", "-keyfile", key});
    Openssl(sign);

    std::string serial;
    Openssl({"x509", "-in", cert, "-noout", "-serial"}, &serial);
    serial = Trim(serial);
    if (serial.rfind("serial=", 0) != 0) throw std::runtime_error("test PKI: odd serial " + serial);
    pki.serials[h.name] = serial.substr(7);

    Openssl({"x509", "-in", cert, "-outform", "DER", "-out", (dir / "der" / (std::string(h.name) + ".cer")).string()});
    if (h.inLocal) fs::copy_file(cert, dir / "local" / (std::string(h.name) + ".pem"));
  }

  const std::string conf = (WorkOf(dir, "ca") / "ca.cnf").string();
  Openssl({"ca", "-config", conf, "-revoke", (dir / "revoked" / "cert.pem").string(), "-crl_reason",
           "keyCompromise"});
  Openssl({"ca", "-config", conf, "-revoke", (dir / "onhold" / "cert.pem").string(), "-crl_hold",
           "holdInstructionReject"});
  Openssl({"ca", "-config", conf, "-revoke", (dir / "badsub" / "cert.pem").string(), "-crl_reason",
           "CACompromise"});
  Openssl({"ca", "-config", conf, "-gencrl", "-out", (dir / "ca.crl").string()});
  Openssl({"crl", "-in", (dir / "ca.crl").string(), "-outform", "DER", "-out", (dir / "der" / "ca.crl").string()});
  fs::copy_file(dir / "ca.crl", dir / "local" / "ca.crl");

  const std::string subConf = (WorkOf(dir, "subca") / "ca.cnf").string();
  Openssl({"ca", "-config", subConf, "-revoke", (dir / "subrevoked" / "cert.pem").string(), "-crl_reason",
           "keyCompromise"});
  Openssl({"ca", "-config", subConf, "-gencrl", "-out", (dir / "subca.crl").string()});

  std::string info = std::string(kPkiVersion) + "\n";
  for (const auto& [who, serial] : pki.serials) info += who + " " + serial + "\n";
  WriteText(dir / kInfoFile, info);
  return pki;
}

// Reads a PKI made by Generate; false when it is missing or of another version.
bool Load(const fs::path& dir, TestPki* pki) {
  std::ifstream in(dir / kInfoFile);
  std::string line;
  if (!std::getline(in, line) || line != kPkiVersion) return false;
  *pki = Layout(dir);
  while (std::getline(in, line)) {
    size_t space = line.find(' ');
    if (space != std::string::npos) pki->serials[line.substr(0, space)] = line.substr(space + 1);
  }
  for (const Holder& h : kHolders)
    if (!pki->serials.count(h.name)) return false;
  return true;
}

// An exclusive flock on a file: the kernel drops it when the holder dies, so
// a crashed test never leaves a stale lock behind.
class FileLock {
 public:
  explicit FileLock(const fs::path& file) {
    fd_ = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) throw std::runtime_error("cannot open lock " + file.string() + ": " + std::strerror(errno));
    while (flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        close(fd_);
        throw std::runtime_error("cannot lock " + file.string());
      }
    }
  }
  ~FileLock() { close(fd_); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int fd_;
};

fs::path Sibling(const fs::path& dir, const std::string& suffix) {
  fs::path p = dir;
  p += suffix;
  return p;
}

}  // namespace

TestPki TestPki::LoadOrMake(const fs::path& dir) {
  TestPki pki;
  if (Load(dir, &pki)) return pki;

  fs::create_directories(dir.parent_path());
  FileLock lock(Sibling(dir, ".lock"));
  if (Load(dir, &pki)) return pki;  // another process made it while we waited

  // Whoever left a half-made folder behind died holding the lock; clear it.
  const std::string stem = dir.filename().string();
  for (const auto& entry : fs::directory_iterator(dir.parent_path())) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(stem + ".tmp-", 0) == 0 || name.rfind(stem + ".old-", 0) == 0) fs::remove_all(entry.path());
  }
  const fs::path temp = Sibling(dir, ".tmp-" + std::to_string(getpid()));
  fs::create_directories(temp);
  try {
    Generate(temp, "");
  } catch (...) {
    std::error_code ignored;
    fs::remove_all(temp, ignored);
    throw;
  }
  // An outdated PKI is moved aside first: rename cannot replace a non-empty folder.
  if (fs::exists(dir)) {
    const fs::path old = Sibling(dir, ".old-" + std::to_string(getpid()));
    fs::rename(dir, old);
    fs::remove_all(old);
  }
  fs::rename(temp, dir);
  if (!Load(dir, &pki)) throw std::runtime_error("test PKI: cannot read " + dir.string());
  return pki;
}

namespace {

void ReadSome(int fd, std::string* sink) {
  char buffer[65536];
  ssize_t n;
  do {
    n = read(fd, buffer, sizeof buffer);
  } while (n < 0 && errno == EINTR);
  if (n > 0) sink->append(buffer, static_cast<size_t>(n));
}

}  // namespace

const TestPki& TestPki::Shared() {
  static const TestPki pki = LoadOrMake(BuildDir() / "test-pki");
  return pki;
}

TestPki TestPki::Make(const fs::path& dir, const std::string& crlUrl) {
  fs::create_directories(dir);
  if (!fs::is_empty(dir)) throw std::invalid_argument("test PKI folder is not empty: " + dir.string());
  return Generate(dir, crlUrl);
}

const std::vector<std::string>& TestPki::Holders() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> v;
    for (const Holder& h : kHolders) v.push_back(h.name);
    return v;
  }();
  return names;
}

fs::path TestPki::Pse(const std::string& who) const { return dir / FindHolder(who).name; }
fs::path TestPki::Cert(const std::string& who) const { return Pse(who) / "cert.pem"; }
fs::path TestPki::Key(const std::string& who) const { return Pse(who) / "key.pem"; }
fs::path TestPki::CertDer(const std::string& who) const {
  return dir / "der" / (std::string(FindHolder(who).name) + ".cer");
}
fs::path TestPki::Crl() const { return dir / "ca.crl"; }
fs::path TestPki::CrlOf(const std::string& issuer) const {
  if (issuer != "ca" && issuer != "subca") throw std::invalid_argument("test PKI keeps no list of " + issuer);
  return dir / (issuer + ".crl");
}
fs::path TestPki::CrlDer() const { return dir / "der" / "ca.crl"; }

std::string TestPki::CommonName(const std::string& who) const { return FindHolder(who).commonName; }

std::string TestPki::Dn(const std::string& who) const {
  return "CN=" + CommonName(who) + ", O=" + kOrganization + ", C=RU";
}

std::string TestPki::Issuer(const std::string& who) const { return Dn(FindHolder(who).issuer); }

int64_t TestPki::NotBefore(const std::string& who) const {
  std::string out;
  Openssl({"x509", "-in", Cert(who).string(), "-noout", "-startdate", "-dateopt", "iso_8601"}, &out);
  struct tm tm {};
  if (std::sscanf(out.c_str(), "notBefore=%d-%d-%d %d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                  &tm.tm_min, &tm.tm_sec) != 6) {
    throw std::runtime_error("test PKI: odd start date " + out);
  }
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  return static_cast<int64_t>(timegm(&tm));
}

std::string TestPki::Serial(const std::string& who) const {
  auto it = serials.find(FindHolder(who).name);
  if (it == serials.end()) throw std::invalid_argument("test PKI has no serial for " + who);
  return it->second;
}

void TestPki::MakeCrl(const fs::path& out, const CrlContents& contents) const {
  // A copy of the CA's database, so that the PKI itself (perhaps the shared
  // one) stays untouched.
  fs::path work = out;
  work += ".ca-work";
  fs::remove_all(work);
  fs::create_directories(work / "newcerts");
  std::istringstream index(ReadFileBytes(WorkOf(dir, contents.issuer) / "index.txt"));
  std::string entries;
  for (std::string line; std::getline(index, line);) {
    // status, expiry, revocation, serial, file, subject
    if (!contents.listsRevoked && line.rfind("R\t", 0) == 0) {
      std::vector<std::string> fields;
      std::istringstream parts(line);
      for (std::string field; std::getline(parts, field, '\t');) fields.push_back(field);
      if (fields.size() == 6) line = "V\t" + fields[1] + "\t\t" + fields[3] + "\t" + fields[4] + "\t" + fields[5];
    }
    entries += line + "\n";
  }
  WriteText(work / "index.txt", entries);
  char number[32];
  std::snprintf(number, sizeof number, "%02X\n", contents.number);
  WriteText(work / "crlnumber", number);
  WriteText(work / "serial", "01\n");
  const std::string conf = (work / "ca.cnf").string();
  std::string config = CaConfig(work, Pse(contents.issuer), "");
  if (contents.deltaOf != 0) {
    // A delta list: the critical Delta CRL Indicator names its base's number.
    config.replace(config.find("[ testca ]\n"), 11, "[ testca ]\ncrl_extensions = crl_ext\n");
    config += "[ crl_ext ]\ndeltaCRL = critical,ASN1:INTEGER:" + std::to_string(contents.deltaOf) + "\n";
  }
  WriteText(conf, config);
  Openssl({"ca", "-config", conf, "-gencrl", "-crl_lastupdate", contents.lastUpdate, "-crl_nextupdate",
           contents.nextUpdate, "-out", out.string()});
  fs::remove_all(work);
}

fs::path GostOpensslConf() {
  static const fs::path file = [] {
    const fs::path build = BuildDir();
    fs::create_directories(build);
    const fs::path conf = build / "openssl-gost.cnf";
    PublishText(conf,
                "# Loads the GOST engine for every openssl command the tests run.\n"
                "openssl_conf = openssl_init\n"
                "[ openssl_init ]\n"
                "engines = engine_section\n"
                "[ engine_section ]\n"
                "gost = gost_section\n"
                "[ gost_section ]\n"
                "default_algorithms = ALL\n");
    return conf;
  }();
  return file;
}

int RunOpenssl(const std::vector<std::string>& args, std::string* output, std::string* errors,
               const std::string& input) {
  const std::string confVariable = "OPENSSL_CONF=" + GostOpensslConf().string();
  std::vector<char*> env;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "OPENSSL_CONF=", 13) != 0) env.push_back(*e);
  env.push_back(const_cast<char*>(confVariable.c_str()));
  env.push_back(nullptr);

  std::vector<std::string> argvStrings = {"openssl"};
  argvStrings.insert(argvStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argvStrings) argv.push_back(a.data());
  argv.push_back(nullptr);

  // The input goes through an anonymous file rather than a pipe: the child may
  // exit without reading it, and a pipe would then raise SIGPIPE in the test.
  int in = memfd_create("openssl-input", MFD_CLOEXEC);
  if (in < 0) return -1;
  if (!input.empty() && (write(in, input.data(), input.size()) != static_cast<ssize_t>(input.size()) ||
                         lseek(in, 0, SEEK_SET) != 0)) {
    close(in);
    return -1;
  }
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in);
    return -1;
  }
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(in), close(out[0]), close(out[1]);
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  pid_t pid = -1;
  int spawned = posix_spawnp(&pid, "openssl", &actions, nullptr, argv.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  close(in);
  close(out[1]);
  close(err[1]);
  if (spawned != 0) {
    close(out[0]), close(err[0]);
    return -1;
  }

  // Drain both outputs together so that the child never blocks on a full pipe.
  std::string outText, errText;
  int outFd = out[0], errFd = err[0];
  while (outFd >= 0 || errFd >= 0) {
    pollfd fds[2];
    int count = 0;
    if (outFd >= 0) fds[count++] = {outFd, POLLIN, 0};
    if (errFd >= 0) fds[count++] = {errFd, POLLIN, 0};
    if (poll(fds, count, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      std::string* sink = fds[i].fd == outFd ? &outText : &errText;
      size_t before = sink->size();
      ReadSome(fds[i].fd, sink);
      if (sink->size() == before) {  // end of file or error
        close(fds[i].fd);
        (fds[i].fd == outFd ? outFd : errFd) = -1;
      }
    }
  }
  if (outFd >= 0) close(outFd);
  if (errFd >= 0) close(errFd);

  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (output) *output = errors ? outText : outText + errText;
  if (errors) *errors = errText;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace testsupport
