#include "config/certificate_pick.h"

#include <QLabel>
#include <QVBoxLayout>
#include <vector>

#include "common/crl_schedule.h"
#include "common/error_box.h"
#include "common/error_description.h"
#include "common/library_error_stack.h"
#include "common/registry_layout.h"
#include "common/registry_values.h"
#include "common/report_text.h"
#include "config/message_boxes.h"
#include "platform/datetime.h"

namespace {

// "OK and Cancel, exclamation icon": how the checks ask to go on without
// what failed.
constexpr UINT kGoOnQuestion = MB_OKCANCEL | MB_ICONWARNING;

// The library context of one pick, released on every path. A failed release
// is composed for the record and never shown.
class PickContext {
 public:
  PickContext() = default;
  ~PickContext() { Release(); }
  PickContext(const PickContext&) = delete;
  PickContext& operator=(const PickContext&) = delete;

  LibraryContext* Out() { return &context_; }
  LibraryContext Get() const { return context_; }

  void Release() {
    if (context_ == nullptr) return;
    const DWORD code = ORLAX_Uninitialize(context_);
    context_ = nullptr;
    if (code != 0) ReportErrorBox(ErrorOwner(), nullptr, 2, code, "Деинициализация криптопрофиля", nullptr, nullptr);
  }

 private:
  LibraryContext context_ = nullptr;
};

// "<what>.\r\n<code text> - <description>.\r\n\r\n<details>": the text of a
// failed step's warning.
CString FailureText(const char* what, DWORD code, const CString& details) {
  return WidenFormat(what) + L".\r\n" + ResultCodeText(code) + L" - " + ErrorDescription(code, nullptr) + L".\r\n\r\n" +
         details;
}

void ShowFailure(QWidget* owner, const CString& text) {
  WarningBox box(owner, 1);
  box.text = text;
  box.DoModal();
}

// Asks whether to go on without what failed: "<description> (0x<code>).\r\n
// <question>". OK goes on.
bool GoOnWithout(HWND owner, DWORD code, const char* question) {
  CString text;
  text.Format(L"%s (0x%X).\r\n", ErrorDescription(code, nullptr).GetString(), code);
  return ProgramMessageBox(WidgetOf(owner), text + WidenFormat(question), kGoOnQuestion) == IDOK;
}

// The base key in the refresh's registry, closed on every way out of it.
class ConfigKeyOpen {
 public:
  explicit ConfigKeyOpen(RegistryKey& key) : key_(key) {}
  ~ConfigKeyOpen() { key_.Close(); }
  ConfigKeyOpen(const ConfigKeyOpen&) = delete;
  ConfigKeyOpen& operator=(const ConfigKeyOpen&) = delete;
  LSTATUS Open() { return key_.Open(HKEY_LOCAL_MACHINE, kServiceBaseKey, KEY_READ | KEY_WRITE); }

 private:
  RegistryKey& key_;
};

}  // namespace

uint32_t PickContextFlags(const DirectoryProfileSettings& settings) {
  uint32_t flags = kPickContextFlags;
  if (settings.notCopyToLocal != 0) flags |= ORLAX_INIT_NOT_COPY_TO_LOCAL;
  if (settings.useAia != 0) flags |= ORLAX_INIT_USE_AIA;
  if (settings.notUseLdap != 0) flags |= ORLAX_INIT_NOT_USE_LDAP;
  if (settings.notLoadCrl != 0) flags |= ORLAX_INIT_NOT_LOAD_CRL;
  return flags;
}

PreEncryptParams PickParameters(const ProfileRecord& profile, int k, PickKind kind) {
  const DirectoryProfileSettings settings = DirectoryProfileSettingsAt(profile, k);
  PreEncryptParams params;
  params.serverTsp = settings.serverTsp;
  params.autoUseTsp = settings.autoUseTsp;
  params.notAddCert = settings.notAddCert;
  params.notLoadCrl = settings.notLoadCrl;
  params.notCopyToLocal = settings.notCopyToLocal;
  params.notUseLdap = settings.notUseLdap;
  params.autoVerifyTsp = settings.autoVerifyTsp;
  params.noTspIsError = settings.noTspIsError;
  params.useAia = settings.useAia;
  params.signerSearch = kind == PickKind::SignerList ? 1 : 0;
  return params;
}

bool RunCertificatePicker(QWidget* owner, const ProfileRecord& profile, int k, PickKind kind,
                          const PickerRunner& runPicker) {
  const DirectoryProfileSettings settings = DirectoryProfileSettingsAt(profile, k);
  const PreEncryptParams params = PickParameters(profile, k, kind);
  const uint32_t flags = PickContextFlags(settings);
  int useNetworkDirectory = settings.notUseLdap != 0 ? 0 : 1;
  const CStringA name(ListTextAt(profile.zcsProfiles, k));

  PickContext context;
  DWORD code = 0;
  {
    AwaitDlg waiting(owner);
    waiting.ShowAndPaint();
    code = ORLAX_Initialize(name.GetString(), flags, context.Out());
  }
  if (code != 0) {
    ShowFailure(owner, FailureText("Инициализация криптопрофиля", code, FormatLibraryErrorStack(nullptr)));
    return false;
  }
  const HWND ownerHandle = WindowHandle(owner);
  if (settings.notUseLdap == 0 && ProbeNetworkDirectory(useNetworkDirectory, context.Get(), ownerHandle) == 0) {
    return false;
  }
  RegistryValues registry(ProgramRegistryReporter());
  if (settings.notLoadCrl == 0 && settings.crlUpdatePeriod > 0 &&
      RefreshCrlsInteractive(registry, k, context.Get(), ownerHandle, profile) == 0) {
    return false;
  }
  return runPicker(params, context.Get(), useNetworkDirectory);
}

int ProbeNetworkDirectory(int& useNetworkDirectory, LibraryContext context, HWND owner) {
  CertQuery query{};
  query.flags = ORLAX_FIND_BY_NAME | ORLAX_FIND_NETWORK;
  query.subject = "CN=QQQ,C=RU";
  query.selectionMask = 4;
  FindResult result{};
  const DWORD code = ORLAX_FindCert(context, &query, &result);
  ORLAX_FreeFindResult(context, &result);
  if (code == 0 || code == ORLAX_E_CERT_NOT_FOUND) {
    DropLibraryErrorLines(context);
    useNetworkDirectory = 1;
    return 1;
  }
  useNetworkDirectory = 0;
  ShowFailure(nullptr, FailureText("Подключение к сетевому справочнику (ЕСК)", code, FormatLibraryErrorStack(context)));
  return GoOnWithout(owner, code, "Продолжить работу без ЕСК?") ? 1 : 0;
}

int RefreshCrlsInteractive(RegistryValues& registry, int k, LibraryContext context, HWND owner,
                           const ProfileRecord& profile) {
  ConfigKeyOpen key(registry.Key());
  if (const LSTATUS rc = key.Open()) {
    ReportErrorBox(ErrorOwner(WidgetOf(owner)), nullptr, 1, static_cast<DWORD>(rc), "Создание (открытие) ключа реестра %s", nullptr,
                   CStringA(CString(kMachineRootName) + kServiceBaseKey).GetString());
    return 0;
  }
  const long long now = platform::WallClockNow().tv_sec;
  const CString name = ListTextAt(profile.zcsProfiles, k);
  if (!StoredCrlRefreshDue(registry, name, now, ListValueAt(profile.crlUpdatePeriod, k), owner)) return 1;

  std::vector<char> message(1024, '\0');
  DataBlob blob{static_cast<uint32_t>(message.size()), reinterpret_cast<uint8_t*>(message.data())};
  const DWORD code = ORLAX_ControlEx(context, 0, ORLAX_CONTROL_LOAD_CRL, nullptr, &blob, 0);
  message.back() = '\0';  // whatever the library left, the text ends in the buffer
  DropLibraryErrorLines(context);  // the warning shows the library's text, not its stack
  StoreCrlRefreshAttempt(registry, name, now, owner);

  // Every failure counts here, the tolerated one included; without a text
  // from the library there is nothing to tell the user.
  if (code == 0 || message[0] == '\0') return 1;
  ShowFailure(nullptr, FailureText("Подключение к точке распространения САС", code, WidenAnsi(message.data())));
  return GoOnWithout(owner, code, "Продолжить работу без загрузки САС?") ? 1 : 0;
}

AwaitDlg::AwaitDlg(QWidget* owner) : QDialog(owner, Qt::Dialog | Qt::FramelessWindowHint) {
  setObjectName("AwaitDlg");
  setModal(false);
  text_ = new QLabel(QString::fromUtf8("Пожалуйста, подождите, инициализация криптоконтекста может занять до 30 секунд."),
                     this);
  text_->setObjectName("1127");
  text_->setWordWrap(true);
  text_->setAlignment(Qt::AlignCenter);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(text_);
  // 146 by 39 dialog units.
  setFixedSize(292, 78);
}

QString AwaitDlg::Text() const { return text_->text(); }

void AwaitDlg::ShowAndPaint() {
  show();
  CentreOverOwner();
  repaint();
}

void AwaitDlg::CentreOverOwner() {
  QWidget* owner = parentWidget();
  if (owner == nullptr) return;
  QWidget* window = owner->window();
  // The owner's normal (restored) rectangle; halves truncate toward zero.
  QRect rect = window->normalGeometry();
  if (rect.isEmpty()) rect = window->geometry();
  const int left = rect.left() + rect.width() / 2 - width() / 2;
  const int top = rect.top() + rect.height() / 2 - height() / 2;
  move(left, top);
}
