#pragma once
// The printf engine behind CString::Format and AppendFormat: the class
// library's conversions ("%s" as text of the format's own width, "%S" the
// other width, "I64", "I32", "I" and "w" sizes, "%p" as 16 hex digits), over
// arguments kept with their real types or read through C varargs.
//
// Numbers are printed by the C library in the "C" manner whatever the process
// locale; text is converted between the two widths through the ANSI page.

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/codepage.h"

namespace platform {

// One argument of CStringT::Format, kept with its real type so that the
// formatter reads exactly what the caller passed: a CString given where the
// format says "%S" (or the other way round) is still converted correctly, a
// missing argument formats as nothing instead of reading the stack, and "%n"
// never writes.
class FormatArg {
 public:
  enum class Kind { Signed, Unsigned, Floating, LongFloating, Narrow, Wide, Pointer };

  template <typename T>
  FormatArg(T v) {  // NOLINT: implicit on purpose, built from each argument
    using U = std::remove_cv_t<T>;
    if constexpr (std::is_enum_v<U>) {
      Set(static_cast<std::underlying_type_t<U>>(v));
    } else {
      Set(v);
    }
  }

  Kind kind() const { return kind_; }
  long long AsSigned() const;
  unsigned long long AsUnsigned() const { return static_cast<unsigned long long>(AsSigned()); }
  long double AsFloating() const;
  const char* narrow() const { return kind_ == Kind::Narrow ? narrow_ : nullptr; }
  const wchar_t* wide() const { return kind_ == Kind::Wide ? wide_ : nullptr; }
  const void* pointer() const;

 private:
  template <typename U>
  void Set(U v) {
    if constexpr (std::is_same_v<U, bool> || (std::is_integral_v<U> && std::is_signed_v<U>)) {
      kind_ = Kind::Signed;
      signed_ = v;
    } else if constexpr (std::is_integral_v<U>) {
      kind_ = Kind::Unsigned;
      unsigned_ = v;
    } else if constexpr (std::is_same_v<U, long double>) {
      kind_ = Kind::LongFloating;
      floating_ = v;
    } else if constexpr (std::is_floating_point_v<U>) {
      kind_ = Kind::Floating;
      floating_ = v;
    } else if constexpr (std::is_same_v<U, const char*> || std::is_same_v<U, char*>) {
      kind_ = Kind::Narrow;
      narrow_ = v;
    } else if constexpr (std::is_same_v<U, const wchar_t*> || std::is_same_v<U, wchar_t*>) {
      kind_ = Kind::Wide;
      wide_ = v;
    } else if constexpr (std::is_same_v<U, std::nullptr_t>) {
      kind_ = Kind::Pointer;
      pointer_ = nullptr;
    } else if constexpr (std::is_pointer_v<U>) {
      kind_ = Kind::Pointer;
      pointer_ = reinterpret_cast<const void*>(v);
    } else {
      static_assert(std::is_pointer_v<U>, "this type cannot be passed to Format");
    }
  }

  Kind kind_ = Kind::Signed;
  union {
    long long signed_;
    unsigned long long unsigned_;
    long double floating_;
    const char* narrow_;
    const wchar_t* wide_;
    const void* pointer_;
  };
};

// Appends `format` formatted with `args` (count of them) to `out`. A missing
// argument formats as nothing; an unknown conversion stays as written.
template <typename CharT>
void AppendFormatted(std::basic_string<CharT>& out, const CharT* format, const FormatArg* args, std::size_t count);

// The same with arguments read through C varargs: the format says what each
// one is, so it must match them.
template <typename CharT>
void AppendFormattedV(std::basic_string<CharT>& out, const CharT* format, va_list args);

// Text of either width in the width To, through the ANSI page.
template <typename To, typename From>
std::basic_string<To> ConvertWidth(const From* text, std::size_t length) {
  if constexpr (std::is_same_v<To, From>) {
    return std::basic_string<To>(text, length);
  } else if constexpr (std::is_same_v<To, wchar_t>) {
    return MultiByteToWide(std::string_view(text, length), CP_ACP);
  } else {
    return WideToMultiByte(std::wstring_view(text, length), CP_ACP);
  }
}

}  // namespace platform
