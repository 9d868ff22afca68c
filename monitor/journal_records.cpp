#include "monitor/journal_records.h"

#include "common/journal_format.h"
#include "platform/codepage.h"
#include "platform/utf16.h"

namespace {

QString ShownText(const std::wstring& text) {
  return QString::fromWCharArray(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

QString DecodeJournalText(std::string_view text) {
  if (text.empty()) return {};
  // Every escape begins with a backslash, which is the one byte 0x5C in
  // each ANSI code page the journals are written in.
  if (text.find('\\') == std::string_view::npos) {
    if (GetACP() == CP_UTF8) return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    return ShownText(platform::MultiByteToWide(text));
  }
  const std::wstring wide = platform::MultiByteToWide(text);
  std::wstring shown = UnescapeJournalText(CString(std::wstring_view(wide))).str();
  for (wchar_t& c : shown) {
    if (platform::FileNameByte(c) >= 0) c = 0xFFFD;
  }
  return ShownText(shown);
}

namespace {
// Below this the packing costs more than it saves.
constexpr std::size_t kPackBytes = 64u << 10;
}  // namespace

QByteArray PackText(std::string_view text) {
  // Level 1: most of the gain at a fraction of the time of the others.
  return qCompress(reinterpret_cast<const uchar*>(text.data()), static_cast<qsizetype>(text.size()), 1);
}

std::string UnpackText(const QByteArray& packed) {
  const QByteArray text = qUncompress(packed);
  return std::string(text.constData(), static_cast<std::size_t>(text.size()));
}

void RecordBatch::Pack() {
  if (text.size() < kPackBytes) return;
  packed = PackText(text);
  std::string().swap(text);
}

void RecordBatch::Unpack() {
  if (packed.isEmpty()) return;
  text = UnpackText(packed);
  packed.clear();
}

QString DetailsText(const QString& data, int kind) {
  QString text = data;
  text.replace(QStringLiteral(" | "), QStringLiteral("\r\n"));
  if (kind == 0) text.replace(QStringLiteral(") "), QStringLiteral(")\r\n"));
  else text.replace(QStringLiteral(". "), QStringLiteral(".\r\n"));
  text.replace(QStringLiteral("), "), QStringLiteral(")\r\n"));
  text.replace(QStringLiteral("). "), QStringLiteral(")\r\n"));
  return text;
}
