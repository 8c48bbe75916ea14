#include "extract/boundary/wide_text.h"

#include <shellapi.h>

#include <algorithm>
#include <cstdint>

#include "extract/boundary/text_encoding.h"

namespace varnolt {
namespace {

constexpr UINT kWindows1252 = 1252;

uint8_t Byte(std::string_view bytes, size_t at) { return static_cast<uint8_t>(bytes[at]); }

// The length of the UTF-8 sequence at `at`, counting the three-byte form of
// a surrogate as one (ED A0..BF 80..BF); 0 where neither begins.
size_t SequenceLength(std::string_view bytes, size_t at) {
  if (const size_t length = Utf8SequenceLength(bytes, at)) return length;
  if (bytes.size() - at >= 3 && Byte(bytes, at) == 0xED && Byte(bytes, at + 1) >= 0xA0 &&
      Byte(bytes, at + 1) <= 0xBF && Byte(bytes, at + 2) >= 0x80 && Byte(bytes, at + 2) <= 0xBF) {
    return 3;
  }
  return 0;
}

// Appends the character of the `length`-byte sequence at `at`, which
// SequenceLength() accepted, as one or two UTF-16 units.
void AppendSequence(std::wstring& out, std::string_view bytes, size_t at, size_t length) {
  static constexpr uint8_t kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  char32_t c = Byte(bytes, at) & kLeadBits[length];
  for (size_t k = 1; k < length; ++k) c = (c << 6) | (Byte(bytes, at + k) & 0x3F);
  if (c > 0xFFFF) {
    c -= 0x10000;
    out += static_cast<wchar_t>(0xD800 + (c >> 10));
    out += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
  } else {
    out += static_cast<wchar_t>(c);
  }
}

// How one code page reads the bytes that are not UTF-8.
class StrayBytes {
 public:
  explicit StrayBytes(UINT code_page) : code_page_(code_page) {
    CPINFO info;
    if (code_page != kWindows1252 && GetCPInfo(code_page, &info) && info.MaxCharSize == 2) {
      double_byte_ = true;
      for (int k = 0; k + 1 < MAX_LEADBYTES && info.LeadByte[k] != 0; k += 2) {
        for (int lead = info.LeadByte[k]; lead <= info.LeadByte[k + 1]; ++lead) lead_[lead] = true;
      }
    }
    for (int byte = 0x80; byte <= 0xFF; ++byte) {
      wchar_t c = Windows1252Character(static_cast<uint8_t>(byte));
      if (code_page != kWindows1252 && !lead_[byte])
        Decode(std::string(1, static_cast<char>(byte)), &c);
      single_[byte - 0x80] = c;
    }
  }

  bool double_byte() const { return double_byte_; }

  // The character of the single byte `byte` (0x80 or above).
  wchar_t Single(uint8_t byte) const { return single_[byte - 0x80]; }

  // The end of the run of non-ASCII bytes that begins at `at`: it takes in
  // the second byte of a double-byte character also where that byte lies in
  // the ASCII range ('@' follows 0x81 in GBK's "丂"), so that the character
  // is judged whole.
  size_t RunEnd(std::string_view bytes, size_t at) const {
    while (at < bytes.size() && Byte(bytes, at) >= 0x80) {
      if (lead_[Byte(bytes, at)] && bytes.size() - at >= 2 &&
          (Byte(bytes, at + 1) >= 0x80 || Decode(bytes.substr(at, 2), nullptr))) {
        at += 2;
      } else {
        ++at;
      }
    }
    return at;
  }

  // Appends the run `run` read in the code page; a byte that is no
  // character there on its own or as a lead byte shows as Windows-1252.
  void AppendRun(std::wstring& out, std::string_view run) const {
    const int size = static_cast<int>(run.size());
    const int wide =
        MultiByteToWideChar(code_page_, MB_ERR_INVALID_CHARS, run.data(), size, nullptr, 0);
    if (wide > 0) {
      const size_t start = out.size();
      out.resize(start + wide);
      MultiByteToWideChar(code_page_, MB_ERR_INVALID_CHARS, run.data(), size, &out[start], wide);
      return;
    }
    // Slow path, for a run with a broken character in it: one character at
    // a time, so that only the broken one falls back.
    for (size_t i = 0; i < run.size();) {
      wchar_t pair;
      if (lead_[Byte(run, i)] && run.size() - i >= 2 && Decode(run.substr(i, 2), &pair)) {
        out += pair;
        i += 2;
      } else {
        const uint8_t byte = Byte(run, i++);
        out += byte < 0x80 ? wchar_t{byte} : Single(byte);
      }
    }
  }

 private:
  // True when `bytes` is one character in the code page, stored in `c`.
  bool Decode(std::string_view bytes, wchar_t* c) const {
    wchar_t out[2];
    const int wide = MultiByteToWideChar(code_page_, MB_ERR_INVALID_CHARS, bytes.data(),
                                         static_cast<int>(bytes.size()), out, 2);
    if (wide != 1) return false;
    if (c != nullptr) *c = out[0];
    return true;
  }

  UINT code_page_;
  bool double_byte_ = false;
  bool lead_[256] = {};
  wchar_t single_[128];
};

// True when the whole of `run` is UTF-8, surrogates allowed.
bool IsWholeSequences(std::string_view run) {
  for (size_t i = 0; i < run.size();) {
    const size_t length = SequenceLength(run, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::wstring Decode(std::string_view bytes, const StrayBytes& stray) {
  std::wstring out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    const uint8_t byte = Byte(bytes, i);
    if (byte < 0x80) {
      out += wchar_t{byte};
      ++i;
    } else if (stray.double_byte()) {
      const size_t end = stray.RunEnd(bytes, i);
      const std::string_view run = bytes.substr(i, end - i);
      if (IsWholeSequences(run)) {
        for (size_t k = 0; k < run.size(); k += SequenceLength(run, k)) {
          AppendSequence(out, run, k, SequenceLength(run, k));
        }
      } else {
        stray.AppendRun(out, run);
      }
      i = end;
    } else if (const size_t length = SequenceLength(bytes, i)) {
      AppendSequence(out, bytes, i, length);
      i += length;
    } else {
      out += stray.Single(byte);
      ++i;
    }
  }
  return out;
}

}  // namespace

UINT StrayByteCodePage(UINT ansi_code_page) {
  return ansi_code_page == CP_UTF8 ? kWindows1252 : ansi_code_page;
}

std::wstring ToWide(std::string_view bytes) {
  // The system's code page does not change while the program runs.
  static const StrayBytes system(StrayByteCodePage(GetACP()));
  return Decode(bytes, system);
}

std::wstring ToWide(std::string_view bytes, UINT code_page) {
  return Decode(bytes, StrayBytes(code_page));
}

std::string FromWide(std::wstring_view text, size_t max_bytes) {
  std::string out;
  out.reserve(std::min(text.size(), max_bytes));
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = static_cast<char16_t>(text[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char16_t>(text[++i]) - 0xDC00);
    }
    const size_t length = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    if (max_bytes - out.size() < length) break;
    AppendUtf8(out, c);
  }
  return out;
}

std::vector<std::string> CommandLineArguments() {
  int count = 0;
  LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr) return {};
  std::vector<std::string> result;
  for (int i = 1; i < count; ++i) result.push_back(FromWide(arguments[i]));
  LocalFree(arguments);
  return result;
}

}  // namespace varnolt
