#include "extract/input/utf16_text.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "extract/boundary/bytes.h"
#include "extract/scan/out_of_memory.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace varnolt {
namespace {

constexpr int64_t kMarkSize = 2;
// A block of the index is at least 16 KiB of the file, and there are at most
// this many: a read decodes half a block, on average, before its offset.
constexpr size_t kMinBlockUnits = 8192;
constexpr size_t kMaxBlocks = size_t{1} << 16;
// The count hands out the file in claims of this many bytes; keep_going is
// asked after each claim that the calling thread counted.
constexpr int64_t kClaimBytes = int64_t{1} << 20;

bool IsHigh(uint32_t unit) { return (unit & 0xFC00) == 0xD800; }
bool IsLow(uint32_t unit) { return (unit & 0xFC00) == 0xDC00; }

template <ByteOrder kOrder>
uint32_t UnitAt(const unsigned char* p) {
  return kOrder == ByteOrder::kLittleEndian ? p[0] | (p[1] << 8) : (p[0] << 8) | p[1];
}

// How many bytes of UTF-8 `unit` becomes, between `before` and `after`. A
// high surrogate followed by a low one becomes the pair's four bytes, and
// that low one nothing.
size_t Utf8LengthOf(uint32_t unit, uint32_t before, uint32_t after) {
  if (unit < 0x80) return 1;
  if (unit < 0x800) return 2;
  if (IsHigh(unit)) return IsLow(after) ? 4 : 3;
  if (IsLow(unit)) return IsHigh(before) ? 0 : 3;
  return 3;
}

// Writes what `unit` becomes (see Utf8LengthOf) to `out`; returns its length.
size_t EncodeUnit(uint32_t unit, uint32_t before, uint32_t after, char* out) {
  if (unit < 0x80) {
    out[0] = static_cast<char>(unit);
    return 1;
  }
  if (unit < 0x800) {
    out[0] = static_cast<char>(0xC0 | (unit >> 6));
    out[1] = static_cast<char>(0x80 | (unit & 0x3F));
    return 2;
  }
  if (IsHigh(unit) && IsLow(after)) {
    const uint32_t c = 0x10000 + ((unit - 0xD800) << 10) + (after - 0xDC00);
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
  }
  if (IsLow(unit) && IsHigh(before)) return 0;
  if (IsHigh(unit) || IsLow(unit)) unit = 0xFFFD;
  out[0] = static_cast<char>(0xE0 | (unit >> 12));
  out[1] = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
  out[2] = static_cast<char>(0x80 | (unit & 0x3F));
  return 3;
}

// The fast path: most text is ASCII, and so are links. Sixteen units at a
// time where the processor has SSE2, else eight; each function returns how
// many units from `p` it took (a multiple of the step, possibly 0), all of
// them below U+0080, and writes them as bytes to `out` unless it is null.
// The units behind what it returns are for the plain loop.
template <ByteOrder kOrder>
size_t TakeAscii(const unsigned char* p, size_t count, char* out) {
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i non_ascii = _mm_set1_epi16(static_cast<short>(0xFF80));
  const __m128i zero = _mm_setzero_si128();
  for (; i + 16 <= count; i += 16) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2 * i));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2 * i + 16));
    if (kOrder == ByteOrder::kBigEndian) {
      a = _mm_or_si128(_mm_slli_epi16(a, 8), _mm_srli_epi16(a, 8));
      b = _mm_or_si128(_mm_slli_epi16(b, 8), _mm_srli_epi16(b, 8));
    }
    const __m128i high_bits = _mm_and_si128(_mm_or_si128(a, b), non_ascii);
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(high_bits, zero)) != 0xFFFF) break;
    // Every unit is below 0x80, so packing cannot saturate.
    if (out != nullptr) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(a, b));
    }
  }
#endif
  // Two words of four units each. A unit is ASCII when its high byte is 0
  // and its low byte below 0x80; little-endian words hold the low byte first.
  constexpr uint64_t kNonAscii =
      kOrder == ByteOrder::kLittleEndian ? 0xFF80FF80FF80FF80ULL : 0x80FF80FF80FF80FFULL;
  constexpr int kLowByteShift = kOrder == ByteOrder::kLittleEndian ? 0 : 8;
  for (; i + 8 <= count; i += 8) {
    const uint64_t first = Load64(reinterpret_cast<const char*>(p + 2 * i));
    const uint64_t second = Load64(reinterpret_cast<const char*>(p + 2 * i + 8));
    if (((first | second) & kNonAscii) != 0) break;
    if (out != nullptr) {
      const uint32_t packed[2] = {PackLowBytes(first >> kLowByteShift),
                                  PackLowBytes(second >> kLowByteShift)};
      std::memcpy(out + i, packed, sizeof packed);
    }
  }
  return i;
}

// How many units from `p` are ASCII, in steps of 32 while they are: when
// only counting, whole stretches of ASCII are taken in one test.
template <ByteOrder kOrder>
size_t CountAscii(const unsigned char* p, size_t count) {
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i non_ascii =
      _mm_set1_epi16(static_cast<short>(kOrder == ByteOrder::kLittleEndian ? 0xFF80 : 0x80FF));
  const __m128i zero = _mm_setzero_si128();
  for (; i + 32 <= count; i += 32) {
    const auto* v = reinterpret_cast<const __m128i*>(p + 2 * i);
    const __m128i any = _mm_or_si128(_mm_or_si128(_mm_loadu_si128(v), _mm_loadu_si128(v + 1)),
                                     _mm_or_si128(_mm_loadu_si128(v + 2), _mm_loadu_si128(v + 3)));
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(any, non_ascii), zero)) != 0xFFFF) break;
  }
#endif
  return i + TakeAscii<kOrder>(p + 2 * i, count - i, nullptr);
}

// How many units from `p` hold no surrogate, in steps of eight while they
// do, adding their UTF-8 length to `length`: one byte each, one more from
// U+0080 on, one more again from U+0800 on. Text in any script but the
// rarest is counted this way, without a branch per character.
template <ByteOrder kOrder>
size_t CountWithoutSurrogates(const unsigned char* p, size_t count, size_t& length) {
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  const __m128i surrogate_bits = _mm_set1_epi16(static_cast<short>(0xF800));
  const __m128i surrogate = _mm_set1_epi16(static_cast<short>(0xD800));
  const __m128i one_byte_max = _mm_set1_epi16(0x7F);
  const __m128i two_bytes_max = _mm_set1_epi16(0x7FF);
  // Each unit is three bytes, less one for each bound it stays within. The
  // lanes of `within` count those bounds (as -1 each) for the units of their
  // lane, and are added up before they could overflow.
  const auto add_up = [&length](__m128i within, size_t units) {
    int32_t lanes[4];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), _mm_madd_epi16(within, _mm_set1_epi16(1)));
    length += 3 * units;
    length -= static_cast<size_t>(-(int64_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3]));
  };
  __m128i within = zero;
  size_t pending = 0;
  for (; i + 8 <= count; i += 8) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2 * i));
    if (kOrder == ByteOrder::kBigEndian) {
      v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
    }
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(v, surrogate_bits), surrogate)) != 0) {
      break;
    }
    within = _mm_add_epi16(within, _mm_cmpeq_epi16(_mm_subs_epu16(v, one_byte_max), zero));
    within = _mm_add_epi16(within, _mm_cmpeq_epi16(_mm_subs_epu16(v, two_bytes_max), zero));
    pending += 8;
    if (pending == 8 * 8192) {  // two a lane each time: 16,384 fit
      add_up(within, pending);
      within = zero;
      pending = 0;
    }
  }
  add_up(within, pending);
#else
  for (; i < count; ++i) {
    const uint32_t unit = UnitAt<kOrder>(p + 2 * i);
    if (IsHigh(unit) || IsLow(unit)) break;
    length += Utf8LengthOf(unit, 0, 0);  // no surrogate: the neighbours do not count
  }
#endif
  return i;
}

// The length of `count` units of UTF-8, or, with `out`, the units written
// there. `before` and `after` are the units around them (0x10000 for none).
template <ByteOrder kOrder>
size_t Convert(const unsigned char* p, size_t count, uint32_t before, uint32_t after, char* out) {
  size_t length = 0;
  size_t i = 0;
  while (i < count) {
    const size_t ascii = out ? TakeAscii<kOrder>(p + 2 * i, count - i, out + length)
                             : CountAscii<kOrder>(p + 2 * i, count - i);
    i += ascii;
    length += ascii;
    if (!out) i += CountWithoutSurrogates<kOrder>(p + 2 * i, count - i, length);
    // At least one unit the plain way: the one that stopped the fast path.
    for (const size_t stop = std::min(count, i + 8); i < stop; ++i) {
      const uint32_t unit = UnitAt<kOrder>(p + 2 * i);
      const uint32_t previous = i > 0 ? UnitAt<kOrder>(p + 2 * i - 2) : before;
      const uint32_t next = i + 1 < count ? UnitAt<kOrder>(p + 2 * i + 2) : after;
      length +=
          out ? EncodeUnit(unit, previous, next, out + length) : Utf8LengthOf(unit, previous, next);
    }
  }
  return length;
}

// A read ends this close to the end of its buffer, or closer, where the
// next read of a walk begins: a walk reads on from a little before the end
// of its last read (the tokenizer's lookahead).
constexpr size_t kNextReadWithin = 64;

// Where a read's text goes: the first `skip` bytes are dropped (they lie
// before the offset asked for), the rest fill `room` bytes at `out`. It
// notes the last unit boundary it passed before the end of the buffer came
// within kNextReadWithin, where the next read can begin decoding.
struct Sink {
  char* out;
  size_t room;
  int64_t skip;
  size_t written = 0;
  int64_t noted_unit = -1;
  size_t noted_written = 0;

  bool Full() const { return written == room; }
  void Note(int64_t unit) {
    if (skip == 0 && written + kNextReadWithin <= room) {
      noted_unit = unit;
      noted_written = written;
    }
  }
  // Takes what of `text` fits.
  void Take(const char* text, size_t length) {
    const size_t taken = std::min(length, room - written);
    std::memcpy(out + written, text, taken);
    written += taken;
  }
};

// Decodes `count` units at `p`, between `before` and `after`, into `sink`
// until it is full. Units wholly before the skip point are only counted, a
// character that straddles it is cut, and what surely fits is decoded
// straight into the buffer; the last bytes go one character at a time.
template <ByteOrder kOrder>
void DecodeChunk(int64_t first_unit, const unsigned char* p, size_t count, uint32_t before,
                 uint32_t after, Sink& sink) {
  const auto unit_at = [&](size_t k) {
    return k == static_cast<size_t>(-1) ? before : k == count ? after : UnitAt<kOrder>(p + 2 * k);
  };
  char one[4];
  size_t i = 0;
  while (sink.skip > 0 && i < count) {
    const size_t ascii =
        CountAscii<kOrder>(p + 2 * i, static_cast<size_t>(std::min<int64_t>(count - i, sink.skip)));
    i += ascii;
    sink.skip -= static_cast<int64_t>(ascii);
    if (sink.skip == 0 || i == count) break;
    const size_t length = EncodeUnit(unit_at(i), unit_at(i - 1), unit_at(i + 1), one);
    if (static_cast<int64_t>(length) > sink.skip) {
      sink.Take(one + sink.skip, length - static_cast<size_t>(sink.skip));
      sink.skip = 0;
    } else {
      sink.skip -= static_cast<int64_t>(length);
    }
    ++i;
  }
  if (sink.skip > 0) return;  // the whole chunk lies before the offset
  while (i < count && !sink.Full()) {
    sink.Note(first_unit + static_cast<int64_t>(i));
    // What surely fits: three bytes a unit (U+0800 and up, and U+FFFD for an
    // unpaired surrogate), one more where the last is the high half of a
    // pair. Each round fills at least a third of the room left.
    const size_t room = sink.room - sink.written;
    const size_t direct = std::min(count - i, (room - 1) / 3);
    if (direct == 0) {
      sink.Take(one, EncodeUnit(unit_at(i), unit_at(i - 1), unit_at(i + 1), one));
      ++i;
      continue;
    }
    sink.written += Convert<kOrder>(p + 2 * i, direct, unit_at(i - 1), unit_at(i + direct),
                                    sink.out + sink.written);
    i += direct;
  }
}

}  // namespace

std::optional<ByteOrder> Utf16MarkOf(std::string_view start) {
  if (start.starts_with("\xFF\xFE")) return ByteOrder::kLittleEndian;
  if (start.starts_with("\xFE\xFF")) return ByteOrder::kBigEndian;
  return std::nullopt;
}

std::unique_ptr<Utf16Text> Utf16Text::Create(ByteSource& file, ByteOrder order,
                                             Utf16Layout layout) {
  const int64_t units = std::max<int64_t>(file.Size() - kMarkSize, 0) / 2;
  size_t block_units = layout.block_units;
  if (block_units == 0) {
    block_units = std::max<size_t>(
        kMinBlockUnits, static_cast<size_t>((units + kMaxBlocks - 1) / int64_t{kMaxBlocks}));
  }
  const size_t read_units = std::clamp<size_t>(layout.read_units, 1, kMaxUtf16ReadUnits);
  const auto blocks = static_cast<size_t>((units + static_cast<int64_t>(block_units) - 1) /
                                          static_cast<int64_t>(block_units));
  std::unique_ptr<Utf16Text> text;
  RanOutOfMemory([&] {
    std::vector<int64_t> starts(blocks + 1, 0);
    text.reset(new Utf16Text(file, order, block_units, read_units, std::move(starts)));
  });
  return text;
}

Utf16Text::Utf16Text(ByteSource& file, ByteOrder order, size_t block_units, size_t read_units,
                     std::vector<int64_t> starts)
    : file_(file),
      order_(order),
      units_(std::max<int64_t>(file.Size() - kMarkSize, 0) / 2),
      block_units_(block_units),
      read_units_(read_units),
      starts_(std::move(starts)) {}

// `raw` has room for kMaxUtf16ReadUnits + 2 units. The unit before and the one
// behind are read along with the chunk: a surrogate pair may straddle it.
bool Utf16Text::ReadChunk(int64_t unit, size_t count, unsigned char* raw, Chunk& chunk) const {
  const int64_t first = unit > 0 ? unit - 1 : unit;
  const int64_t last = std::min(units_, unit + static_cast<int64_t>(count) + 1);
  const ReadResult read = file_.Read(kMarkSize + 2 * first, static_cast<size_t>(2 * (last - first)),
                                     reinterpret_cast<char*>(raw));
  if (read.status == ReadStatus::kFailed) return false;
  const auto* units = reinterpret_cast<const unsigned char*>(read.bytes.data());
  const size_t got = read.bytes.size() / 2;
  const size_t lead = unit > first ? 1 : 0;
  chunk = Chunk();
  if (got <= lead) return true;  // the file ends here now
  chunk.units = units + 2 * lead;
  chunk.count = std::min(count, got - lead);
  if (lead == 1) chunk.before = UnitOf(units);
  if (got > lead + chunk.count) chunk.after = UnitOf(chunk.units + 2 * chunk.count);
  return true;
}

uint32_t Utf16Text::UnitOf(const unsigned char* p) const {
  return order_ == ByteOrder::kBigEndian ? UnitAt<ByteOrder::kBigEndian>(p)
                                         : UnitAt<ByteOrder::kLittleEndian>(p);
}

// Reads go across blocks, as many units at once as a read takes; each
// piece of a read is counted into the block it lies in.
bool Utf16Text::CountBlocks(size_t first, size_t last, unsigned char* raw) {
  const auto block_units = static_cast<int64_t>(block_units_);
  const int64_t end = std::min(units_, static_cast<int64_t>(last) * block_units);
  for (int64_t unit = static_cast<int64_t>(first) * block_units; unit < end;) {
    Chunk chunk;
    const auto count = static_cast<size_t>(std::min<int64_t>(read_units_, end - unit));
    if (!ReadChunk(unit, count, raw, chunk)) return false;
    for (size_t done = 0; done < chunk.count;) {
      const int64_t at = unit + static_cast<int64_t>(done);
      const auto piece = static_cast<size_t>(
          std::min<int64_t>(chunk.count - done, (at / block_units + 1) * block_units - at));
      const unsigned char* units = chunk.units + 2 * done;
      const uint32_t before = done == 0 ? chunk.before : UnitOf(units - 2);
      const uint32_t after = done + piece == chunk.count ? chunk.after : UnitOf(units + 2 * piece);
      starts_[static_cast<size_t>(at / block_units) + 1] += static_cast<int64_t>(
          order_ == ByteOrder::kBigEndian
              ? Convert<ByteOrder::kBigEndian>(units, piece, before, after, nullptr)
              : Convert<ByteOrder::kLittleEndian>(units, piece, before, after, nullptr));
      done += piece;
    }
    if (chunk.count < count) break;  // the file shrank
    unit += static_cast<int64_t>(chunk.count);
  }
  return true;
}

// Each block's length depends only on its own units and their neighbours,
// so the blocks are counted on several threads at once, in claims handed
// out in file order; the lengths are summed into starts at the end.
Utf16Text::CountStatus Utf16Text::Count(const std::function<bool()>& keep_going, unsigned threads) {
  const size_t blocks = starts_.size() - 1;
  const size_t claim = std::max<size_t>(
      1, static_cast<size_t>(kClaimBytes / (2 * static_cast<int64_t>(block_units_))));
  std::fill(starts_.begin(), starts_.end(), 0);
  std::atomic<size_t> next_block{0};
  std::atomic<bool> failed{false};
  std::atomic<bool> stopped{false};
  const auto count_claims = [&](bool calling_thread) {
    unsigned char raw[(kMaxUtf16ReadUnits + 2) * 2];
    for (;;) {
      const size_t first = next_block.fetch_add(claim);
      if (first >= blocks || failed || stopped) return;
      if (!CountBlocks(first, std::min(first + claim, blocks), raw)) {
        failed = true;
        return;
      }
      if (calling_thread && keep_going && !keep_going()) stopped = true;
    }
  };
  std::vector<std::thread> helpers;
  for (unsigned t = 1; t < threads && t * claim < blocks; ++t) {
    // Fewer helpers, or none, where they cannot be had.
    try {
      if (RanOutOfMemory([&] { helpers.emplace_back(count_claims, false); })) break;
    } catch (const std::system_error&) {
      break;
    }
  }
  count_claims(true);
  for (std::thread& helper : helpers) helper.join();
  if (failed) return CountStatus::kReadFailed;
  if (stopped) return CountStatus::kStopped;
  for (size_t block = 0; block < blocks; ++block) starts_[block + 1] += starts_[block];
  size_ = starts_.back();
  return CountStatus::kCounted;
}

// Where to begin decoding for `offset`: the start of the last block that
// begins at or before it, or a later point that an earlier read noted. (A
// block that becomes no text at all, a lone low surrogate, begins where the
// next one does, and is passed over.)
Utf16Text::Anchor Utf16Text::AnchorFor(int64_t offset) const {
  const auto block = static_cast<size_t>(
      std::upper_bound(starts_.begin(), starts_.end() - 1, offset) - starts_.begin() - 1);
  Anchor anchor{starts_[block], static_cast<int64_t>(block) * static_cast<int64_t>(block_units_)};
  const std::lock_guard<std::mutex> lock(anchors_mutex_);
  for (const Anchor& noted : anchors_) {
    if (noted.text <= offset && noted.text > anchor.text) anchor = noted;
  }
  return anchor;
}

void Utf16Text::NoteAnchor(Anchor anchor) {
  const std::lock_guard<std::mutex> lock(anchors_mutex_);
  anchors_[next_anchor_] = anchor;
  next_anchor_ = (next_anchor_ + 1) % anchors_.size();
}

ReadResult Utf16Text::Read(int64_t offset, size_t n, char* buffer) {
  if (offset >= size_) return {ReadStatus::kEnded, {}};
  if (n == 0) return {ReadStatus::kBytes, {}};
  const Anchor anchor = AnchorFor(offset);
  Sink sink{buffer, n, offset - anchor.text};
  unsigned char raw[(kMaxUtf16ReadUnits + 2) * 2];
  for (int64_t unit = anchor.unit; !sink.Full() && unit < units_;) {
    Chunk chunk;
    const auto count = static_cast<size_t>(std::min<int64_t>(read_units_, units_ - unit));
    if (!ReadChunk(unit, count, raw, chunk)) return {ReadStatus::kFailed, {}};
    if (chunk.count == 0) break;  // the file shrank
    if (order_ == ByteOrder::kBigEndian) {
      DecodeChunk<ByteOrder::kBigEndian>(unit, chunk.units, chunk.count, chunk.before, chunk.after,
                                         sink);
    } else {
      DecodeChunk<ByteOrder::kLittleEndian>(unit, chunk.units, chunk.count, chunk.before,
                                            chunk.after, sink);
    }
    unit += static_cast<int64_t>(chunk.count);
  }
  if (sink.noted_unit >= 0) {
    NoteAnchor({offset + static_cast<int64_t>(sink.noted_written), sink.noted_unit});
  }
  const bool whole = static_cast<int64_t>(sink.written) == std::min<int64_t>(size_ - offset, n);
  return {whole ? ReadStatus::kBytes : ReadStatus::kShrunk, std::string_view(buffer, sink.written)};
}

}  // namespace varnolt
