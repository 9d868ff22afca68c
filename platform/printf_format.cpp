#include "platform/printf_format.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace platform {

long long FormatArg::AsSigned() const {
  switch (kind_) {
    case Kind::Signed: return signed_;
    case Kind::Unsigned: return static_cast<long long>(unsigned_);
    case Kind::Floating:
    case Kind::LongFloating: return static_cast<long long>(floating_);
    case Kind::Narrow: return static_cast<long long>(reinterpret_cast<std::uintptr_t>(narrow_));
    case Kind::Wide: return static_cast<long long>(reinterpret_cast<std::uintptr_t>(wide_));
    case Kind::Pointer: return static_cast<long long>(reinterpret_cast<std::uintptr_t>(pointer_));
  }
  return 0;
}

long double FormatArg::AsFloating() const {
  switch (kind_) {
    case Kind::Floating:
    case Kind::LongFloating: return floating_;
    case Kind::Unsigned: return static_cast<long double>(unsigned_);
    default: return static_cast<long double>(AsSigned());
  }
}

const void* FormatArg::pointer() const {
  return reinterpret_cast<const void*>(static_cast<std::uintptr_t>(AsSigned()));
}

}  // namespace platform

namespace {

// One conversion of a format: "%-08.3I64d" and the like.
struct Conversion {
  std::string flags;
  bool leftAlign = false;
  bool zeroPad = false;
  int width = -1;
  int precision = -1;
  enum class Size { Default, Char, Short, Long32, Long64, LongDouble } size = Size::Default;
  bool forceNarrow = false;  // "h" on c/s
  bool forceWide = false;    // "l"/"w" on c/s
  char conversion = 0;
};

// Arguments read through C varargs: the format says what each one is.
class VaSource {
 public:
  explicit VaSource(va_list* args) : args_(args) {}
  int NextInt() { return va_arg(*args_, int); }
  long long NextSigned(const Conversion& s) {
    if (s.size == Conversion::Size::Long64) return va_arg(*args_, long long);
    return va_arg(*args_, int);
  }
  unsigned long long NextUnsigned(const Conversion& s) {
    if (s.size == Conversion::Size::Long64) return va_arg(*args_, unsigned long long);
    return va_arg(*args_, unsigned int);
  }
  long double NextFloating(const Conversion& s) {
    if (s.size == Conversion::Size::LongDouble) return va_arg(*args_, long double);
    return va_arg(*args_, double);
  }
  const void* NextPointer() { return va_arg(*args_, const void*); }
  // Text of the width the format names.
  const char* NextNarrow() { return va_arg(*args_, const char*); }
  const wchar_t* NextWide() { return va_arg(*args_, const wchar_t*); }
  const platform::FormatArg* NextTyped() { return nullptr; }

 private:
  va_list* args_;
};

// Arguments kept with their types (Format / AppendFormat).
class TypedSource {
 public:
  TypedSource(const platform::FormatArg* args, size_t count) : args_(args), count_(count) {}
  const platform::FormatArg* NextTyped() { return next_ < count_ ? &args_[next_++] : nullptr; }
  int NextInt() {
    const platform::FormatArg* a = NextTyped();
    return a != nullptr ? static_cast<int>(a->AsSigned()) : 0;
  }

 private:
  const platform::FormatArg* args_;
  size_t count_;
  size_t next_ = 0;
};

template <typename CharT>
class Formatter {
 public:
  explicit Formatter(std::basic_string<CharT>& out) : out_(out) {}

  template <typename Source>
  void Run(const CharT* format, Source& source) {
    for (const CharT* p = format; *p != 0;) {
      if (*p != '%') {
        out_.push_back(*p++);
        continue;
      }
      const CharT* start = p++;
      if (*p == '%') {
        out_.push_back('%');
        ++p;
        continue;
      }
      Conversion conversion;
      if (!ParseConversion(p, conversion, source)) {
        out_.append(start, p);  // not a conversion: the text stays as written
        continue;
      }
      Convert(conversion, source);
    }
  }

 private:
  template <typename Source>
  static bool ParseConversion(const CharT*& p, Conversion& conversion, Source& source) {
    for (;; ++p) {
      CharT c = *p;
      if (c == '-') conversion.leftAlign = true;
      else if (c == '0') conversion.zeroPad = true;
      else if (c != '+' && c != ' ' && c != '#') break;
      conversion.flags.push_back(static_cast<char>(c));
    }
    if (*p == '*') {
      ++p;
      conversion.width = source.NextInt();
      if (conversion.width < 0) {
        conversion.leftAlign = true;
        conversion.flags.push_back('-');
        conversion.width = conversion.width == -2147483647 - 1 ? 0 : -conversion.width;
      }
    } else {
      conversion.width = ReadNumber(p);
    }
    if (*p == '.') {
      ++p;
      if (*p == '*') {
        ++p;
        conversion.precision = source.NextInt();  // negative: as if none was given
      } else {
        conversion.precision = std::max(ReadNumber(p), 0);
      }
    }
    ParseSize(p, conversion);
    CharT c = *p;
    if (c <= 0 || c > 0x7F || !std::strchr("diouxXcCsSeEfFgGaApn", static_cast<int>(c))) return false;
    conversion.conversion = static_cast<char>(c);
    ++p;
    return true;
  }

  static int ReadNumber(const CharT*& p) {
    if (*p < '0' || *p > '9') return -1;
    long long value = 0;
    while (*p >= '0' && *p <= '9') {
      value = std::min<long long>(value * 10 + (*p - '0'), 1 << 24);  // widths beyond 16M are nonsense
      ++p;
    }
    return static_cast<int>(value);
  }

  static void ParseSize(const CharT*& p, Conversion& conversion) {
    auto at = [&](const char* text) {
      size_t n = std::strlen(text);
      for (size_t i = 0; i < n; ++i)
        if (p[i] != static_cast<CharT>(text[i])) return false;
      p += n;
      return true;
    };
    if (at("I64") || at("ll") || at("q") || at("j") || at("z") || at("t")) {
      conversion.size = Conversion::Size::Long64;
    } else if (at("I32")) {
      conversion.size = Conversion::Size::Long32;
    } else if (at("I")) {
      conversion.size = Conversion::Size::Long64;  // pointer-sized
    } else if (at("hh")) {
      conversion.size = Conversion::Size::Char;
      conversion.forceNarrow = true;
    } else if (at("h")) {
      conversion.size = Conversion::Size::Short;
      conversion.forceNarrow = true;
    } else if (at("l") || at("w")) {
      conversion.size = Conversion::Size::Long32;
      conversion.forceWide = true;
    } else if (at("L")) {
      conversion.size = Conversion::Size::LongDouble;
    }
  }

  // Whether a "%s"/"%c" conversion takes wide text: the format's own width for
  // the lower-case letter, the other width for the upper-case one.
  static bool TakesWide(const Conversion& conversion) {
    if (conversion.forceNarrow) return false;
    if (conversion.forceWide) return true;
    bool ownWidth = conversion.conversion == 's' || conversion.conversion == 'c';
    return std::is_same_v<CharT, wchar_t> ? ownWidth : !ownWidth;
  }

  template <typename Source>
  void Convert(const Conversion& conversion, Source& source) {
    switch (conversion.conversion) {
      case 'n':
        source.NextTyped();  // never written: a format must not store through an argument
        if constexpr (std::is_same_v<Source, VaSource>) source.NextPointer();
        return;
      case 's':
      case 'S':
        return ConvertText(conversion, source);
      case 'c':
      case 'C':
        return ConvertChar(conversion, source);
      case 'p':
        return ConvertPointer(conversion, source);
      case 'd':
      case 'i':
      case 'o':
      case 'u':
      case 'x':
      case 'X':
        return ConvertInteger(conversion, source);
      default:
        return ConvertFloating(conversion, source);
    }
  }

  void ConvertText(const Conversion& conversion, VaSource& source) {
    if (TakesWide(conversion))
      PutText(conversion, source.NextWide());
    else
      PutText(conversion, source.NextNarrow());
  }

  void ConvertText(const Conversion& conversion, TypedSource& source) {
    const platform::FormatArg* arg = source.NextTyped();
    if (arg == nullptr) return;  // a missing argument formats as nothing
    // The argument's own width wins over the letter: a CStringA given to a
    // wide "%s" is converted instead of being read as wide text.
    if (arg->kind() == platform::FormatArg::Kind::Wide)
      PutText(conversion, arg->wide());
    else if (arg->kind() == platform::FormatArg::Kind::Narrow)
      PutText(conversion, arg->narrow());
    else if (arg->kind() == platform::FormatArg::Kind::Pointer && arg->pointer() == nullptr)
      PutText(conversion, static_cast<const char*>(nullptr));
    else
      PutText(conversion, std::to_string(arg->AsSigned()).c_str());
  }

  template <typename TextChar>
  void PutText(const Conversion& conversion, const TextChar* text) {
    std::basic_string<CharT> converted;
    if (text == nullptr) {
      converted = platform::ConvertWidth<CharT>("(null)", 6);
    } else {
      // With a precision the text need not be terminated within it.
      size_t length = 0;
      size_t limit = conversion.precision >= 0 && std::is_same_v<TextChar, CharT> ? static_cast<size_t>(conversion.precision)
                                                                            : static_cast<size_t>(-1);
      while (length < limit && text[length] != 0) ++length;
      converted = platform::ConvertWidth<CharT>(text, length);
    }
    if (conversion.precision >= 0 && converted.size() > static_cast<size_t>(conversion.precision))
      converted.resize(static_cast<size_t>(conversion.precision));
    Pad(conversion, converted);
  }

  void ConvertChar(const Conversion& conversion, VaSource& source) {
    int value = source.NextInt();
    PutChar(conversion, TakesWide(conversion), value);
  }

  void ConvertChar(const Conversion& conversion, TypedSource& source) {
    const platform::FormatArg* arg = source.NextTyped();
    if (arg == nullptr) return;
    PutChar(conversion, TakesWide(conversion), static_cast<int>(arg->AsSigned()));
  }

  void PutChar(const Conversion& conversion, bool wide, int value) {
    std::basic_string<CharT> converted;
    if (wide) {
      wchar_t ch = static_cast<wchar_t>(value);
      converted = platform::ConvertWidth<CharT>(&ch, 1);
    } else {
      char ch = static_cast<char>(value);
      converted = platform::ConvertWidth<CharT>(&ch, 1);
    }
    Pad(conversion, converted);
  }

  void Pad(const Conversion& conversion, const std::basic_string<CharT>& text) {
    size_t width = conversion.width > 0 ? static_cast<size_t>(conversion.width) : 0;
    size_t fill = width > text.size() ? width - text.size() : 0;
    if (conversion.leftAlign) {
      out_.append(text);
      out_.append(fill, ' ');
    } else {
      out_.append(fill, conversion.zeroPad ? '0' : ' ');
      out_.append(text);
    }
  }

  template <typename Source>
  void ConvertPointer(const Conversion& conversion, Source& source) {
    const void* value = nullptr;
    if constexpr (std::is_same_v<Source, VaSource>) {
      value = source.NextPointer();
    } else {
      const platform::FormatArg* arg = source.NextTyped();
      if (arg == nullptr) return;
      value = arg->pointer();
    }
    // As on 64-bit Windows: 16 upper-case hex digits, no "0x".
    Conversion asNumber = conversion;
    asNumber.conversion = 'X';
    asNumber.size = Conversion::Size::Long64;
    asNumber.precision = 16;
    PutPrintf(asNumber, static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(value)));
  }

  template <typename Source>
  void ConvertInteger(const Conversion& conversion, Source& source) {
    bool isSigned = conversion.conversion == 'd' || conversion.conversion == 'i';
    unsigned long long bits;
    if constexpr (std::is_same_v<Source, VaSource>) {
      bits = isSigned ? static_cast<unsigned long long>(source.NextSigned(conversion)) : source.NextUnsigned(conversion);
    } else {
      const platform::FormatArg* arg = source.NextTyped();
      if (arg == nullptr) return;
      bits = arg->AsUnsigned();
    }
    // The size in the format decides how many bits count, as on Windows: a
    // DWORD of 0xFFFFFFFF printed with "%d" reads -1.
    switch (conversion.size) {
      case Conversion::Size::Char: bits = isSigned ? static_cast<unsigned long long>(static_cast<signed char>(bits))
                                             : static_cast<unsigned char>(bits); break;
      case Conversion::Size::Short: bits = isSigned ? static_cast<unsigned long long>(static_cast<short>(bits))
                                              : static_cast<unsigned short>(bits); break;
      case Conversion::Size::Long64: break;
      default: bits = isSigned ? static_cast<unsigned long long>(static_cast<int>(bits))
                               : static_cast<unsigned int>(bits); break;
    }
    PutPrintf(conversion, bits);
  }

  template <typename Source>
  void ConvertFloating(const Conversion& conversion, Source& source) {
    long double value;
    if constexpr (std::is_same_v<Source, VaSource>) {
      value = source.NextFloating(conversion);
    } else {
      const platform::FormatArg* arg = source.NextTyped();
      if (arg == nullptr) return;
      value = arg->AsFloating();
    }
    PutPrintf(conversion, value);
  }

  // Numbers go through the C library's narrow printf, which needs no locale
  // for digits; the digits are then copied into the string.
  template <typename Value>
  void PutPrintf(const Conversion& conversion, Value value) {
    std::string cformat = "%" + conversion.flags;
    if (conversion.width >= 0) cformat += std::to_string(conversion.width);
    if (conversion.precision >= 0) cformat += "." + std::to_string(conversion.precision);
    if constexpr (std::is_floating_point_v<Value>) {
      cformat += "L";
    } else {
      cformat += "ll";
    }
    cformat.push_back(conversion.conversion);
    if constexpr (std::is_floating_point_v<Value>) {
      PrintNumber(cformat, value);
    } else if (conversion.conversion == 'd' || conversion.conversion == 'i') {
      PrintNumber(cformat, static_cast<long long>(value));
    } else {
      PrintNumber(cformat, value);
    }
  }

  template <typename Value>
  void PrintNumber(const std::string& cformat, Value value) {
    char small[128];
    int needed = std::snprintf(small, sizeof(small), cformat.c_str(), value);
    if (needed < 0) return;
    if (static_cast<size_t>(needed) < sizeof(small)) {
      out_.append(small, small + needed);
      return;
    }
    std::string big(static_cast<size_t>(needed) + 1, '\0');
    std::snprintf(big.data(), big.size(), cformat.c_str(), value);
    out_.append(big.begin(), big.begin() + needed);
  }

  std::basic_string<CharT>& out_;
};

}  // namespace

namespace platform {

template <typename CharT>
void AppendFormatted(std::basic_string<CharT>& out, const CharT* format, const FormatArg* args, std::size_t count) {
  TypedSource source(args, count);
  Formatter<CharT>(out).Run(format, source);
}

template <typename CharT>
void AppendFormattedV(std::basic_string<CharT>& out, const CharT* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  VaSource source(&copy);
  Formatter<CharT>(out).Run(format, source);
  va_end(copy);
}

template void AppendFormatted(std::string&, const char*, const FormatArg*, std::size_t);
template void AppendFormatted(std::wstring&, const wchar_t*, const FormatArg*, std::size_t);
template void AppendFormattedV(std::string&, const char*, va_list);
template void AppendFormattedV(std::wstring&, const wchar_t*, va_list);

}  // namespace platform
