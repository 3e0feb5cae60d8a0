// The upper half of the compressor: the sliding window, the hash chains, the
// search for the longest earlier copy and the two encoder loops (greedy for
// levels 1-3, lazy evaluation for levels 4-9).
#include "deflate/deflate.h"

#include <bit>
#include <cstring>

#include "deflate/block_output.h"
#include "deflate/deflate_check.h"

namespace tessel {

namespace {

constexpr unsigned kDistanceWindow = 32768;  // half of the window buffer
constexpr unsigned kMinMatch = 3;
constexpr unsigned kMaxMatch = 258;
constexpr unsigned kMinLookahead = kMaxMatch + kMinMatch + 1;   // 262
constexpr unsigned kMaxDistance = kDistanceWindow - kMinLookahead;  // 32506
constexpr unsigned kSlideThreshold = kDistanceWindow + kMaxDistance;  // 65274
constexpr unsigned kTooFar = 4096;  // a 3-byte match farther back is not worth it (lazy path)
constexpr unsigned kHashMask = kHashSize - 1;
constexpr unsigned kHashShift = 5;
constexpr unsigned kFirstRead = 32768;
constexpr uint32_t kReadEnd = 65535;  // a read result that also means end of input
constexpr unsigned kLongestRead = 65534;

// The four search parameters of a level.
struct LevelParams {
  uint16_t search_cut;   // from this starting length on, a quarter of the chain is searched
  uint16_t lazy_limit;   // lazy: no search beyond it; fast: longest match whose positions are inserted
  uint16_t stop_length;  // a search ends at a match this long
  uint16_t chain_limit;  // most chain candidates examined by one search
};

constexpr LevelParams level_table[10] = {
    {0, 0, 0, 0},          // 0: stored by the writer
    {4, 4, 8, 4},          // 1
    {4, 5, 16, 8},         // 2
    {4, 6, 32, 32},        // 3
    {4, 4, 16, 16},        // 4
    {8, 16, 32, 32},       // 5
    {8, 16, 128, 128},     // 6
    {8, 32, 128, 256},     // 7
    {32, 128, 258, 1024},  // 8
    {32, 258, 258, 4096},  // 9
};

constexpr uint16_t kFlagFast = 4;     // levels 1 and 2
constexpr uint16_t kFlagMaximum = 2;  // levels 8 and 9

}  // namespace

// The per-entry state; built by deflate_entry and dropped when it returns.
struct deflate_context {
  deflate_buffers& buffers;
  DeflateIO& io;
  uint16_t pos = 0;          // window index of the next byte to encode
  uint16_t lookahead = 0;    // valid bytes from pos on
  int32_t block_start = 0;   // window index of the block's first byte; negative once slid out
  uint16_t ins_h = 0;        // insertion hash, 15 bits
  uint16_t match_start = 0;  // start of the best match of the last improving search
  bool eof = false;
  uint64_t bytes_read = 0;   // for the consistency check only
  uint64_t bytes_slid = 0;
  void* link_table = nullptr;  // the link table of the level, rebased with head on a slide
  size_t link_table_size = 0;
  BlockOutput out;

  deflate_context(deflate_buffers& b, DeflateIO& i) : buffers(b), io(i) {}
};

namespace {

inline unsigned fold_hash(unsigned h, uint8_t byte) { return ((h << kHashShift) ^ byte) & kHashMask; }

// Chain steps held by a link entry of type Link: uint16_t (one) or uint64_t (four).
template <class Link>
constexpr unsigned kLinkSteps = sizeof(Link) / sizeof(uint16_t);
constexpr unsigned kLinkStepBits = 16;

// Inserts window position p into its hash chain; returns its chain candidate
// (0 = none). With four steps per entry, the candidate's own entry gives the
// three steps after it. When there is no candidate those are whatever the
// entry at index 0 holds: a walk stops at the 0 and never reads them.
template <class Link>
inline unsigned insert_position(const uint8_t* window, uint16_t* head, Link* link, unsigned& h, unsigned p) {
  h = fold_hash(h, window[p + kMinMatch - 1]);
  const unsigned candidate = head[h];
  if constexpr (kLinkSteps<Link> == 1) {
    link[p & kHashMask] = static_cast<Link>(candidate);
  } else {
    link[p & kHashMask] = (link[candidate & kHashMask] << kLinkStepBits) | candidate;
  }
  head[h] = static_cast<uint16_t>(p);
  return candidate;
}

inline uint16_t load16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

inline uint64_t load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// Number of equal leading bytes of a and b, at most 258, given that the first
// three are equal (the third is implied by equal hashes and is not compared).
inline unsigned match_length(const uint8_t* a, const uint8_t* b) {
  for (unsigned off = kMinMatch; off < kMaxMatch; off += 8) {
    const uint64_t diff = load64(a + off) ^ load64(b + off);
    if (diff != 0) {
      unsigned n;
      if constexpr (std::endian::native == std::endian::little) {
        n = off + static_cast<unsigned>(std::countr_zero(diff)) / 8;
      } else {
        n = off + static_cast<unsigned>(std::countl_zero(diff)) / 8;
      }
      return n < kMaxMatch ? n : kMaxMatch;
    }
  }
  return kMaxMatch;
}

void open_matcher(deflate_context& c, int level, DeflateHeader& header);
void refill_window(deflate_context& c);

// Searches the chain from `candidate` for a match longer than `best` at
// window position s. Returns the best length (possibly past the lookahead:
// the caller clamps it) and sets match_start when it improved on `best`.
//
// The candidates are those of a walk along the chain one link at a time:
// stop at the first position at or below the distance limit, or when the
// chain budget runs out, or at a match of stop_length. The entry after the
// steps in hand is read while the candidates they name are compared.
//
// Inlined into the encoder loops, which are built once per level: the
// level's parameters are constants there and match_start stays in a register.
template <LevelParams params, class Link>
[[gnu::always_inline]] inline unsigned best_match(const uint8_t* window, const Link* link, unsigned s,
                                                  unsigned candidate, unsigned best, unsigned& match_start) {
  unsigned chain = params.chain_limit;
  if (best >= params.search_cut) chain >>= 2;
  const unsigned stop_length = params.stop_length;
  const unsigned limit = s > kMaxDistance ? s - kMaxDistance : 0;
  const uint8_t* const scan = window + s;
  const uint16_t scan_start = load16(scan);
  uint16_t scan_end = load16(scan + best - 1);

  TESSEL_DEFLATE_CHECK(s <= kWindowBufferSize - kMinLookahead, "Insufficient lookahead");
  TESSEL_DEFLATE_CHECK(best >= 1, "best_match: starting length");
  // Rejection first reads the two bytes around the current best length: that
  // test fails for most candidates, so the loop keeps a base pointer for it.
  const uint8_t* end_base = window + best - 1;
  // Compares one candidate; returns true when the search is over.
  auto examine = [&](unsigned cand) {
    TESSEL_DEFLATE_CHECK(cand < s, "No Future");
    if (__builtin_expect(load16(end_base + cand) != scan_end, 1)) return false;
    const uint8_t* const match = window + cand;
    if (load16(match) != scan_start) return false;
    TESSEL_DEFLATE_CHECK(s + kMaxMatch < kWindowBufferSize, "Wild Scan");
    const unsigned len = match_length(scan, match);
    if (len <= best) return false;
    match_start = cand;
    best = len;
    if (len >= stop_length) return true;
    scan_end = load16(scan + best - 1);
    end_base = window + best - 1;
    return false;
  };

  constexpr unsigned kSteps = kLinkSteps<Link>;
  Link steps = link[candidate & kHashMask];
  for (;;) {
    const Link next_steps = link[(steps >> (kLinkStepBits * (kSteps - 1))) & kHashMask];
    if (examine(candidate)) goto done;
    for (unsigned k = 1;; k++) {
      candidate = static_cast<unsigned>(steps & 0xFFFFu);
      if (candidate <= limit || --chain == 0) goto done;
      if (k == kSteps) break;
      if constexpr (kSteps > 1) steps >>= kLinkStepBits;
      if (examine(candidate)) goto done;
    }
    steps = next_steps;
  }
done:
  return best;
}

void open_matcher(deflate_context& c, int level, DeflateHeader& header) {
  std::memset(c.buffers.head, 0, sizeof c.buffers.head);
  if (level <= 2) {
    header.GeneralPurposeFlags |= kFlagFast;
  } else if (level >= 8) {
    header.GeneralPurposeFlags |= kFlagMaximum;
  }
  c.pos = 0;
  c.block_start = 0;
  const uint32_t n = c.io.read_source(c.buffers.window, kFirstRead);
  if (n == 0 || n == kReadEnd) {
    c.eof = true;
    c.lookahead = 0;
    return;
  }
  c.bytes_read += n;
  c.lookahead = static_cast<uint16_t>(n);
  if (c.lookahead < kMinLookahead) refill_window(c);
  unsigned h = 0;
  h = fold_hash(h, c.buffers.window[0]);
  h = fold_hash(h, c.buffers.window[1]);
  c.ins_h = static_cast<uint16_t>(h);
}

// Rebases the 16-bit positions of a table after a slide: a position of 32768
// or more loses 32768, a smaller one becomes 0 (none). Eight at a time; an
// entry of the four-step link table is four such positions.
void rebase_positions(void* table, size_t bytes) {
  using Lanes = uint16_t __attribute__((vector_size(16)));
  constexpr size_t kLanesBytes = sizeof(Lanes);
  static_assert(sizeof(deflate_buffers::head) % kLanesBytes == 0 && sizeof(deflate_buffers::link) % kLanesBytes == 0 &&
                sizeof(deflate_buffers::link4) % kLanesBytes == 0);
  uint8_t* const p = static_cast<uint8_t*>(table);
  for (size_t i = 0; i < bytes; i += kLanesBytes) {
    Lanes v;
    std::memcpy(&v, p + i, kLanesBytes);
    v = v & (Lanes{} - (v >> 15)) & static_cast<uint16_t>(kDistanceWindow - 1);
    std::memcpy(p + i, &v, kLanesBytes);
  }
}

// Slides the upper half of the window down and rebases every position.
void slide_window(deflate_context& c) {
  deflate_buffers& b = c.buffers;
  std::memcpy(b.window, b.window + kDistanceWindow, kDistanceWindow);
  c.match_start = static_cast<uint16_t>(c.match_start - kDistanceWindow);
  c.pos = static_cast<uint16_t>(c.pos - kDistanceWindow);
  c.block_start -= static_cast<int32_t>(kDistanceWindow);
  rebase_positions(b.head, sizeof b.head);
  rebase_positions(c.link_table, c.link_table_size);
  c.bytes_slid += kDistanceWindow;
}

// Reads until at least kMinLookahead bytes are ahead or the input ends,
// sliding the window when the position has reached the slide threshold.
void refill_window(deflate_context& c) {
  do {
    unsigned more = (kWindowBufferSize - c.lookahead - c.pos) & 0xFFFFu;
    if (more == 0xFFFFu) {
      more = kLongestRead;
    } else if (c.pos >= kSlideThreshold) {
      slide_window(c);
      more = (more + kDistanceWindow) & 0xFFFFu;
    }
    if (c.eof) return;
    TESSEL_DEFLATE_CHECK(more >= 2, "more < 2");
    const uint32_t n = c.io.read_source(c.buffers.window + c.pos + c.lookahead, more);
    if (n == 0 || n == kReadEnd) {
      c.eof = true;
    } else {
      c.bytes_read += n;
      c.lookahead = static_cast<uint16_t>(c.lookahead + n);
    }
    TESSEL_DEFLATE_CHECK(c.bytes_slid + c.pos + c.lookahead <= c.bytes_read, "a bit too far - deflate");
  } while (c.lookahead < kMinLookahead && !c.eof);
}

// Refills the window for an encoder loop that keeps its position, lookahead
// and match start in locals: hands them to the context and takes them back.
inline void refill_window(deflate_context& c, unsigned& pos, unsigned& lookahead, unsigned& match_start) {
  c.pos = static_cast<uint16_t>(pos);
  c.lookahead = static_cast<uint16_t>(lookahead);
  c.match_start = static_cast<uint16_t>(match_start);
  refill_window(c);
  pos = c.pos;
  lookahead = c.lookahead;
  match_start = c.match_start;
}

// Ends the current block: its bytes are the window from block start to the
// current position, unless the block start has slid out.
uint64_t end_block(deflate_context& c, bool last) {
  const uint8_t* bytes = c.block_start >= 0 ? c.buffers.window + c.block_start : nullptr;
  return emit_block(c.out, bytes, static_cast<uint64_t>(static_cast<int64_t>(c.pos) - c.block_start), last);
}

// Levels 1-3: take the longest match at each position at once.
template <LevelParams params, class Link>
uint64_t run_fast_path(deflate_context& c, Link* link) {
  uint8_t* const window = c.buffers.window;
  uint16_t* const head = c.buffers.head;
  unsigned pos = c.pos;
  unsigned lookahead = c.lookahead;
  unsigned match_start = c.match_start;
  unsigned h = c.ins_h;
  unsigned candidate = 0;
  unsigned length = 0;

  while (lookahead != 0) {
    if (lookahead >= kMinMatch) candidate = insert_position(window, head, link, h, pos);
    // Start fetching the head entry of the next position while this one is searched.
    __builtin_prefetch(&head[fold_hash(h, window[(pos + kMinMatch) & (kWindowBufferSize - 1)])]);
    if (candidate != 0 && pos - candidate <= kMaxDistance) {
      length = best_match<params, Link>(window, link, pos, candidate, kMinMatch - 1, match_start);
      if (length > lookahead) length = lookahead;
    }
    bool full;
    if (length >= kMinMatch) {
      full = ct_tally(c.out, static_cast<uint16_t>(pos - match_start), length - kMinMatch, pos, c.block_start);
      lookahead -= length;
      if (length <= params.lazy_limit) {
        for (unsigned k = length - 1; k != 0; k--) {
          pos++;
          candidate = insert_position(window, head, link, h, pos);
        }
        pos++;
      } else {
        pos += length;
        h = window[pos];
        h = fold_hash(h, window[pos + 1]);
      }
      length = 0;
    } else {
      full = ct_tally(c.out, 0, window[pos], pos, c.block_start);
      lookahead--;
      pos++;
    }
    if (full) {
      c.pos = static_cast<uint16_t>(pos);
      end_block(c, false);
      c.block_start = static_cast<int32_t>(pos);
    }
    if (lookahead < kMinLookahead) refill_window(c, pos, lookahead, match_start);
  }
  c.pos = static_cast<uint16_t>(pos);
  c.lookahead = 0;
  return end_block(c, true);
}

// Levels 4-9: hold each match for one position and take the next one
// instead when that is longer.
template <LevelParams params, class Link>
uint64_t run_lazy_path(deflate_context& c, Link* link) {
  uint8_t* const window = c.buffers.window;
  uint16_t* const head = c.buffers.head;
  unsigned pos = c.pos;
  unsigned lookahead = c.lookahead;
  unsigned match_start = c.match_start;
  unsigned h = c.ins_h;
  unsigned candidate = 0;
  unsigned length = kMinMatch - 1;
  bool match_available = false;

  while (lookahead != 0) {
    if (lookahead >= kMinMatch) candidate = insert_position(window, head, link, h, pos);
    // Start fetching the head entry of the next position while this one is searched.
    __builtin_prefetch(&head[fold_hash(h, window[(pos + kMinMatch) & (kWindowBufferSize - 1)])]);
    const unsigned prev_length = length;
    const unsigned prev_match = match_start;
    length = kMinMatch - 1;
    if (candidate != 0 && prev_length < params.lazy_limit && pos - candidate <= kMaxDistance) {
      length = best_match<params, Link>(window, link, pos, candidate, prev_length, match_start);
      if (length > lookahead) length = lookahead;
      if (length == kMinMatch && static_cast<uint16_t>(pos - match_start) > kTooFar) length = kMinMatch - 1;
    }
    if (prev_length >= kMinMatch && length <= prev_length) {
      // The pending match, found at pos - 1, is the better one.
      const bool full = ct_tally(c.out, static_cast<uint16_t>(pos - 1 - prev_match), prev_length - kMinMatch,
                                 pos, c.block_start);
      lookahead -= prev_length - 1;
      for (unsigned k = prev_length - 2; k != 0; k--) {
        pos++;
        candidate = insert_position(window, head, link, h, pos);
      }
      pos++;
      match_available = false;
      length = kMinMatch - 1;
      if (full) {
        c.pos = static_cast<uint16_t>(pos);
        end_block(c, false);
        c.block_start = static_cast<int32_t>(pos);
      }
    } else if (match_available) {
      if (ct_tally(c.out, 0, window[pos - 1], pos, c.block_start)) {
        c.pos = static_cast<uint16_t>(pos);
        end_block(c, false);
        c.block_start = static_cast<int32_t>(pos);
      }
      pos++;
      lookahead--;
    } else {
      match_available = true;
      pos++;
      lookahead--;
    }
    if (lookahead < kMinLookahead) refill_window(c, pos, lookahead, match_start);
  }
  c.pos = static_cast<uint16_t>(pos);
  c.lookahead = 0;
  if (match_available) ct_tally(c.out, 0, window[pos - 1], pos, c.block_start);
  return end_block(c, true);
}

}  // namespace

std::unique_ptr<deflate_buffers> AllocateDeflateBuffers() {
  return std::make_unique<deflate_buffers>();  // value-initialised: all zero
}

uint64_t deflate_entry(int level, DeflateHeader& header, deflate_buffers& buffers, DeflateTables& tables,
                       DeflateIO& io) {
  if (level < 1) level = 1;
  if (level > 9) level = 9;
  deflate_context c(buffers, io);
  ct_init(c.out, tables, buffers, header, io, level);
  try {
    // Levels 1 and 2 search at most 8 candidates: one step per link entry.
    uint16_t* const link = buffers.link;
    uint64_t* const link4 = buffers.link4;
    c.link_table = level <= 2 ? static_cast<void*>(link) : static_cast<void*>(link4);
    c.link_table_size = level <= 2 ? sizeof buffers.link : sizeof buffers.link4;
    open_matcher(c, level, header);
    switch (level) {
      case 1: return run_fast_path<level_table[1]>(c, link);
      case 2: return run_fast_path<level_table[2]>(c, link);
      case 3: return run_fast_path<level_table[3]>(c, link4);
      case 4: return run_lazy_path<level_table[4]>(c, link4);
      case 5: return run_lazy_path<level_table[5]>(c, link4);
      case 6: return run_lazy_path<level_table[6]>(c, link4);
      case 7: return run_lazy_path<level_table[7]>(c, link4);
      case 8: return run_lazy_path<level_table[8]>(c, link4);
      default: return run_lazy_path<level_table[9]>(c, link4);
    }
  } catch (...) {
    // The entry is abandoned; clear the window as a finished entry would, so
    // that a later entry never sees this one's bytes.
    std::memset(buffers.window, 0, kWindowBufferSize - 1);
    throw;
  }
}

}  // namespace tessel
