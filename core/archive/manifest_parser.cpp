// A SAX handler that builds the Manifest directly, so that every error,
// including a duplicate key or a wrong type, knows where it happened.
//
// Memory, per byte of the text and besides the text itself, at most about 12
// bytes: the Manifest built from it (a 136-byte Entry for each entry, which
// takes at least 24 bytes of the text, in a vector that may have doubled; the
// strings kept, each at most twice its length in the text); the lexer's
// current token, at most 4 times its length (nlohmann keeps it unescaped and
// raw, each in a buffer that may have doubled; a syntax error's message
// repeats it once more); the unknown keys of the open objects, at most 5
// bytes per byte (see UnknownKeys); and max_depth containers. Error messages
// quote at most max_excerpt bytes of the text.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <utility>

#include "core/archive/manifest.h"
#include "core/error/detail_texts.h"

namespace quarn {
namespace {

// Counts the bytes the JSON lexer has consumed, for line and column numbers.
struct CountingIterator {
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  const char* at = nullptr;
  std::size_t* consumed = nullptr;

  reference operator*() const { return *at; }
  CountingIterator& operator++() {
    ++at;
    ++*consumed;
    return *this;
  }
  CountingIterator operator++(int) {
    CountingIterator before = *this;
    ++*this;
    return before;
  }
  bool operator==(const CountingIterator& other) const { return at == other.at; }
};

enum class Role { Root, Manifest, Entries, Entry, Ignored };

// Fields of the manifest and of an entry, as bits of a "seen" mask.
enum ManifestField : unsigned { MFormat, MVersion, MCreatedUnix, MTool, MDataFrames, MTotalSize, MEntries, MCount };
enum EntryField : unsigned {
  EPath, EKind, ESize, EAttributes, ECreated, EModified, ESha256, EFirstFrame, EFrames, EOffset, ECount
};

constexpr const char* manifest_names[] = {"format", "version", "created_unix", "tool",
                                          "data_frames", "total_size", "entries"};
constexpr const char* entry_names[] = {"path", "kind", "size", "attributes", "created",
                                       "modified", "sha256", "first_frame", "frames", "offset"};

template <std::size_t N>
int field_index(const char* const (&names)[N], std::string_view key) {
  for (std::size_t i = 0; i < N; ++i)
    if (key == names[i]) return static_cast<int>(i);
  return -1;
}

// The file list itself needs three levels (the root object, "entries", an
// entry). A value under a key this reader does not know may open five more
// below an entry: room for lists of records of lists. Anything deeper is
// damage or an attack, refused at once.
constexpr std::size_t max_depth = 8;
// Longest piece of the text (a key, a value, the parser's last token) that an
// error message quotes.
constexpr std::size_t max_excerpt = 64;

// At most `max_excerpt` bytes of `text`, cut before a UTF-8 sequence and
// marked with "..." when cut.
std::string excerpt(std::string_view text) {
  if (text.size() <= max_excerpt) return std::string(text);
  std::size_t cut = max_excerpt;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut)) + "...";
}

// The library's description of a syntax error, whose last token read (which
// may be the whole text) is cut to an excerpt: "...; last read: 'TOKEN'",
// perhaps followed by "; expected " and one of the library's token names.
// The rest is the library's own sentence, kept whole. The token may hold
// anything, "; expected" too, so the ending is matched against the names.
std::string with_short_token(std::string_view what) {
  constexpr std::string_view last_read = "last read: '";
  const std::size_t at = what.find(last_read);
  if (at == std::string_view::npos) return excerpt(what);
  const std::string_view before = what.substr(0, at + last_read.size());
  std::string_view token = what.substr(before.size());
  std::string_view after;
  static constexpr std::string_view expected_names[] = {
      "<uninitialized>", "true literal", "false literal", "null literal", "string literal", "number literal",
      "'['", "'{'", "']'", "'}'", "':'", "','", "<parse error>", "end of input", "'[', '{', or a literal",
      "unknown token"};
  for (const std::string_view name : expected_names) {
    const std::size_t length = std::string_view("'; expected ").size() + name.size();
    if (token.size() >= length && token.ends_with(name) &&
        token.substr(token.size() - length).starts_with("'; expected ")) {
      after = token.substr(token.size() - length);
      break;
    }
  }
  if (after.empty() && token.ends_with('\'')) after = token.substr(token.size() - 1);
  token.remove_suffix(after.size());
  return std::string(before) + excerpt(token) + std::string(after);
}

// The keys of one object that this reader does not know, checked for a
// repeat when the object closes: their unescaped bytes one after another,
// and where each lies in them and in the text. A key takes its bytes and at
// least 5 more of the text (quotes, colon, value, separator) and costs here
// at most twice its bytes and 24 (12 bytes of Key, both buffers perhaps
// doubled): at most 5 bytes per byte of text. Sorting, unlike a hash set,
// cannot be driven to quadratic time by chosen keys.
class UnknownKeys {
 public:
  void clear() {
    bytes_.clear();
    keys_.clear();
  }

  void add(std::string_view key, std::uint32_t read_at) {
    keys_.push_back({static_cast<std::uint32_t>(bytes_.size()), static_cast<std::uint32_t>(key.size()), read_at});
    bytes_ += key;
  }

  // The first key, in the text's order, that repeats an earlier one, with
  // where it was read. The view lasts until the next add or clear.
  std::optional<std::pair<std::string_view, std::uint32_t>> first_repeat() {
    if (keys_.size() < 2) return std::nullopt;
    const auto text = [&](const Key& k) { return std::string_view(bytes_).substr(k.begin, k.length); };
    std::sort(keys_.begin(), keys_.end(), [&](const Key& a, const Key& b) {
      const int order = text(a).compare(text(b));
      return order != 0 ? order < 0 : a.read_at < b.read_at;
    });
    const Key* repeat = nullptr;
    for (std::size_t i = 1; i < keys_.size(); ++i)
      if (text(keys_[i]) == text(keys_[i - 1]) && (!repeat || keys_[i].read_at < repeat->read_at)) repeat = &keys_[i];
    if (!repeat) return std::nullopt;
    return std::pair{text(*repeat), repeat->read_at};
  }

 private:
  struct Key {
    std::uint32_t begin;
    std::uint32_t length;
    std::uint32_t read_at;
  };
  std::string bytes_;
  std::vector<Key> keys_;
};

// One open object or array. The max_depth of them are made once and reused,
// so their buffers are too.
struct Container {
  Role role = Role::Ignored;
  unsigned seen = 0;      // known fields seen so far
  int field = -1;         // the known field the next value belongs to
  UnknownKeys unknown;    // of an object
};

class ManifestBuilder {
 public:
  using number_integer_t = nlohmann::json::number_integer_t;
  using number_unsigned_t = nlohmann::json::number_unsigned_t;
  using number_float_t = nlohmann::json::number_float_t;
  using string_t = nlohmann::json::string_t;
  using binary_t = nlohmann::json::binary_t;

  ManifestBuilder(std::string_view text, const std::size_t& consumed) : text_(text), consumed_(consumed) {
    // An entry takes about 250 bytes of the text: room for the usual count at once.
    manifest.entries.reserve(text.size() / 256);
  }

  Manifest manifest;
  std::string error;

  bool null() { return scalar(Kind::Null, {}); }
  bool boolean(bool) { return scalar(Kind::Other, {}); }
  bool number_integer(number_integer_t v) { return scalar(Kind::Signed, Value{.i = v}); }
  bool number_unsigned(number_unsigned_t v) { return scalar(Kind::Unsigned, Value{.u = v}); }
  bool number_float(number_float_t, const string_t&) { return scalar(Kind::Other, {}); }
  bool string(string_t& s) {
    string_ = &s;
    return scalar(Kind::String, {});
  }
  bool binary(binary_t&) { return scalar(Kind::Other, {}); }

  bool start_object(std::size_t) { return open(true); }
  bool start_array(std::size_t) { return open(false); }
  bool end_array() {
    --depth_;
    return true;
  }

  bool key(string_t& k) {
    Container& top = stack_[depth_ - 1];
    const int known = top.role == Role::Manifest ? field_index(manifest_names, k)
                      : top.role == Role::Entry  ? field_index(entry_names, k)
                                                 : -1;
    top.field = known;
    if (known < 0) {
      top.unknown.add(k, static_cast<std::uint32_t>(consumed_));
      return true;
    }
    if (top.seen & (1u << known)) return fail(repeated_key(k));
    top.seen |= 1u << known;
    return true;
  }

  bool end_object() {
    Container& top = stack_[depth_ - 1];
    if (auto repeat = top.unknown.first_repeat()) return fail_at(repeated_key(repeat->first), repeat->second);
    if (top.role == Role::Manifest) {
      for (unsigned f = 0; f < MCount; ++f)
        if (!(top.seen & (1u << f))) return fail(std::string("brak wymaganego pola \"") + manifest_names[f] + "\"");
    } else if (top.role == Role::Entry) {
      for (unsigned f : {EPath, EKind})
        if (!(top.seen & (1u << f))) return fail(std::string("brak wymaganego pola \"") + entry_names[f] + "\" we wpisie");
    }
    --depth_;
    return true;
  }

  // The library takes a zero byte for the end of the text and would accept
  // whatever follows one; JSON has no place for it.
  bool zero_byte(std::size_t index) {
    error = "blad skladni JSON " + where(index + 1) + ": bajt zerowy w tekscie";
    return false;
  }

  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& ex) {
    if (auto repeat = repeat_before(position)) return fail_at(repeated_key(repeat->first), repeat->second);
    std::string_view what = ex.what();
    // Keep the library's description of the problem, not its own prefix and
    // position.
    if (const auto colon = what.find(": "); colon != std::string_view::npos) what.remove_prefix(colon + 2);
    error = "blad skladni JSON " + where(position) + ": " + with_short_token(what);
    return false;
  }

 private:
  enum class Kind { Null, Signed, Unsigned, String, Other };
  union Value {
    number_integer_t i;
    number_unsigned_t u;
  };

  std::string where(std::size_t position) const {
    const std::size_t at = std::min(position == 0 ? 0 : position - 1, text_.size());
    std::size_t line = 1, line_start = 0;
    for (std::size_t k = 0; k < at; ++k)
      if (text_[k] == '\n') {
        ++line;
        line_start = k + 1;
      }
    return "(wiersz " + std::to_string(line) + ", kolumna " + std::to_string(at - line_start + 1) + ")";
  }

  // The first key repeated before `position` in an object still open: such
  // a repeat of a key this reader does not know is found only when its
  // object closes, yet it is the first problem in the text.
  std::optional<std::pair<std::string_view, std::uint32_t>> repeat_before(std::size_t position) {
    std::optional<std::pair<std::string_view, std::uint32_t>> first;
    for (std::size_t i = 0; i < depth_; ++i) {
      auto repeat = stack_[i].unknown.first_repeat();
      if (repeat && repeat->second < position && (!first || repeat->second < first->second)) first = repeat;
    }
    return first;
  }

  bool fail(const std::string& what) { return fail_at(what, consumed_); }
  bool fail_at(const std::string& what, std::size_t position) {
    if (auto repeat = repeat_before(position)) return fail_at(repeated_key(repeat->first), repeat->second);
    error = what + " " + where(position);
    return false;
  }
  static std::string repeated_key(std::string_view key) { return "powtorzony klucz \"" + excerpt(key) + "\""; }

  // Which role a value in the current slot has, and its field number.
  std::pair<Role, int> slot() const {
    if (depth_ == 0) return {Role::Root, -1};
    const Container& top = stack_[depth_ - 1];
    if (top.role == Role::Entries) return {Role::Entries, -1};
    if (top.role == Role::Ignored || top.field < 0) return {Role::Ignored, -1};
    return {top.role, top.field};
  }

  bool open(bool is_object) {
    if (depth_ == max_depth)
      return fail("tablice i obiekty zagniezdzone glebiej niz " + std::to_string(max_depth) + " poziomow");
    const auto [parent, field] = slot();
    Role role = Role::Ignored;
    if (parent == Role::Root) {
      if (!is_object) return fail("spis plikow musi byc obiektem JSON");
      role = Role::Manifest;
    } else if (parent == Role::Manifest && field == MEntries) {
      if (is_object) return fail("pole \"entries\" musi byc tablica");
      role = Role::Entries;
    } else if (parent == Role::Entries) {
      if (!is_object) return fail("wpis w \"entries\" musi byc obiektem");
      manifest.entries.emplace_back();
      role = Role::Entry;
    } else if (parent == Role::Manifest || parent == Role::Entry) {
      return wrong_type(parent, field);
    }
    Container& container = stack_[depth_++];
    container.role = role;
    container.seen = 0;
    container.field = -1;
    container.unknown.clear();
    return true;
  }

  bool wrong_type(Role role, int field) {
    const char* name = role == Role::Manifest ? manifest_names[field] : entry_names[field];
    return fail(std::string("pole \"") + name + "\" ma zly typ");
  }

  bool out_of_range(Role role, int field) {
    const char* name = role == Role::Manifest ? manifest_names[field] : entry_names[field];
    return fail(std::string("wartosc pola \"") + name + "\" jest poza zakresem");
  }

  bool scalar(Kind kind, Value value) {
    const auto [role, field] = slot();
    if (role == Role::Root) return fail("spis plikow musi byc obiektem JSON");
    if (role == Role::Entries) return fail("wpis w \"entries\" musi byc obiektem");
    if (role == Role::Ignored) return true;
    if (role == Role::Manifest) return manifest_scalar(static_cast<ManifestField>(field), kind, value);
    return entry_scalar(static_cast<EntryField>(field), kind, value);
  }

  bool unsigned_value(Role role, int field, Kind kind, Value value, std::uint64_t max, std::uint64_t& out) {
    if (kind == Kind::Signed && value.i < 0) return out_of_range(role, field);
    if (kind != Kind::Unsigned && kind != Kind::Signed) return wrong_type(role, field);
    const std::uint64_t v = kind == Kind::Unsigned ? value.u : static_cast<std::uint64_t>(value.i);
    if (v > max) return out_of_range(role, field);
    out = v;
    return true;
  }

  bool manifest_scalar(ManifestField field, Kind kind, Value value) {
    std::uint64_t v = 0;
    switch (field) {
      case MFormat:
      case MTool:
        if (kind != Kind::String) return wrong_type(Role::Manifest, field);
        (field == MFormat ? manifest.format : manifest.tool) = std::move(*string_);
        return true;
      case MVersion:
        if (!unsigned_value(Role::Manifest, field, kind, value, 65535, v)) return false;
        manifest.version = static_cast<std::uint16_t>(v);
        return true;
      case MCreatedUnix:
        if (kind == Kind::Signed) {
          manifest.created_unix = value.i;
          return true;
        }
        if (!unsigned_value(Role::Manifest, field, kind, value, INT64_MAX, v)) return false;
        manifest.created_unix = static_cast<std::int64_t>(v);
        return true;
      case MDataFrames:
        return unsigned_value(Role::Manifest, field, kind, value, UINT64_MAX, manifest.data_frames);
      case MTotalSize:
        return unsigned_value(Role::Manifest, field, kind, value, UINT64_MAX, manifest.total_size);
      case MEntries:
      case MCount:
        break;
    }
    return wrong_type(Role::Manifest, field);
  }

  bool entry_scalar(EntryField field, Kind kind, Value value) {
    Entry& e = manifest.entries.back();
    std::uint64_t v = 0;
    switch (field) {
      case EPath:
        if (kind != Kind::String) return wrong_type(Role::Entry, field);
        e.path = std::move(*string_);
        return true;
      case EKind:
        if (kind != Kind::String) return wrong_type(Role::Entry, field);
        if (*string_ == "file") e.kind = EntryKind::File;
        else if (*string_ == "dir") e.kind = EntryKind::Dir;
        else return fail("nieznany rodzaj wpisu \"" + excerpt(*string_) + "\" (dozwolone: \"file\", \"dir\")");
        return true;
      case ESha256:
        if (kind == Kind::Null) {
          e.sha256.reset();
          return true;
        }
        if (kind != Kind::String) return wrong_type(Role::Entry, field);
        e.sha256 = std::move(*string_);
        return true;
      case EAttributes:
        if (!unsigned_value(Role::Entry, field, kind, value, UINT32_MAX, v)) return false;
        e.attributes = static_cast<std::uint32_t>(v);
        return true;
      case ESize: return unsigned_value(Role::Entry, field, kind, value, UINT64_MAX, e.size);
      case ECreated: return unsigned_value(Role::Entry, field, kind, value, UINT64_MAX, e.created);
      case EModified: return unsigned_value(Role::Entry, field, kind, value, UINT64_MAX, e.modified);
      case EFirstFrame: return unsigned_value(Role::Entry, field, kind, value, UINT64_MAX, e.first_frame);
      case EFrames: return unsigned_value(Role::Entry, field, kind, value, UINT64_MAX, e.frames);
      case EOffset: return unsigned_value(Role::Entry, field, kind, value, UINT64_MAX, e.offset);
      case ECount: break;
    }
    return wrong_type(Role::Entry, field);
  }

  std::string_view text_;
  const std::size_t& consumed_;
  std::array<Container, max_depth> stack_;
  std::size_t depth_ = 0;
  string_t* string_ = nullptr;
};

}  // namespace

Result<Manifest> parse_manifest(std::string_view json) {
  if (json.size() > UINT32_MAX) invariant_violated("parse_manifest: a text of 4 GiB or more");
  std::size_t consumed = 0;
  ManifestBuilder builder(json, consumed);
  const CountingIterator first{json.data(), &consumed};
  const CountingIterator last{json.data() + json.size(), &consumed};
  bool ok = false;
  try {
    if (const std::size_t zero = json.find('\0'); zero != std::string_view::npos) {
      builder.zero_byte(zero);
    } else {
      ok = nlohmann::json::sax_parse(first, last, &builder);
    }
  } catch (const std::exception& e) {
    builder.error = e.what();
  }
  if (!ok) return std::unexpected(ArchiveError::corrupt(texts::filelist_parse(builder.error)));
  return std::move(builder.manifest);
}

}  // namespace quarn
