// A SAX handler that builds the Manifest directly, so that every error,
// including a duplicate key or a wrong type, knows where it happened.
#include <nlohmann/json.hpp>

#include <iterator>
#include <memory>
#include <string>
#include <unordered_set>

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

struct Container {
  Role role = Role::Ignored;
  bool is_object = false;
  unsigned seen = 0;                          // known fields seen so far
  std::unique_ptr<std::unordered_set<std::string>> others;  // unknown keys seen so far, made at the first
  int field = -1;                             // the known field the next value belongs to
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
    stack_.pop_back();
    return true;
  }

  bool key(string_t& k) {
    Container& top = stack_.back();
    const int known = top.role == Role::Manifest ? field_index(manifest_names, k)
                      : top.role == Role::Entry  ? field_index(entry_names, k)
                                                 : -1;
    if (known < 0 && !top.others) top.others = std::make_unique<std::unordered_set<std::string>>();
    const bool duplicate = known >= 0 ? (top.seen & (1u << known)) != 0 : !top.others->insert(k).second;
    if (duplicate) return fail("powtorzony klucz \"" + k + "\"");
    if (known >= 0) top.seen |= 1u << known;
    top.field = known;
    return true;
  }

  bool end_object() {
    const Container& top = stack_.back();
    if (top.role == Role::Manifest) {
      for (unsigned f = 0; f < MCount; ++f)
        if (!(top.seen & (1u << f))) return fail(std::string("brak wymaganego pola \"") + manifest_names[f] + "\"");
    } else if (top.role == Role::Entry) {
      for (unsigned f : {EPath, EKind})
        if (!(top.seen & (1u << f))) return fail(std::string("brak wymaganego pola \"") + entry_names[f] + "\" we wpisie");
    }
    stack_.pop_back();
    return true;
  }

  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& ex) {
    std::string what = ex.what();
    // Keep the library's description of the problem, not its own prefix and position.
    if (const auto colon = what.find(": "); colon != std::string::npos) what = what.substr(colon + 2);
    error = "blad skladni JSON " + where(position) + ": " + what;
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

  bool fail(const std::string& what) {
    error = what + " " + where(consumed_);
    return false;
  }

  // Which role a value in the current slot has, and its field number.
  std::pair<Role, int> slot() const {
    if (stack_.empty()) return {Role::Root, -1};
    const Container& top = stack_.back();
    if (top.role == Role::Entries) return {Role::Entries, -1};
    if (top.role == Role::Ignored || top.field < 0) return {Role::Ignored, -1};
    return {top.role, top.field};
  }

  bool open(bool is_object) {
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
    Container container;
    container.role = role;
    container.is_object = is_object;
    stack_.push_back(std::move(container));
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
        else return fail("nieznany rodzaj wpisu \"" + *string_ + "\" (dozwolone: \"file\", \"dir\")");
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
  std::vector<Container> stack_;
  string_t* string_ = nullptr;
};

}  // namespace

Result<Manifest> parse_manifest(std::string_view json) {
  std::size_t consumed = 0;
  ManifestBuilder builder(json, consumed);
  const CountingIterator first{json.data(), &consumed};
  const CountingIterator last{json.data() + json.size(), &consumed};
  bool ok = false;
  try {
    ok = nlohmann::json::sax_parse(first, last, &builder);
  } catch (const std::exception& e) {
    builder.error = e.what();
  }
  if (!ok) return std::unexpected(ArchiveError::corrupt(texts::filelist_parse(builder.error)));
  return std::move(builder.manifest);
}

}  // namespace quarn
