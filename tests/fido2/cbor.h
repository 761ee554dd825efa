// A small CBOR encoder and decoder for CTAP2 messages: unsigned and negative
// integers, byte and text strings, arrays, maps, false, true and null, all of
// definite length. Maps are encoded in CTAP2's canonical order (shorter
// encoded key first, then bytewise).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quarn::softkey {

using Bytes = std::vector<std::uint8_t>;

class Cbor {
 public:
  enum class Type { Integer, ByteString, TextString, Array, Map, Bool, Null };

  Cbor() : type_(Type::Null) {}
  Cbor(int value) : type_(Type::Integer), integer_(value) {}
  Cbor(std::int64_t value) : type_(Type::Integer), integer_(value) {}
  Cbor(Bytes value) : type_(Type::ByteString), bytes_(std::move(value)) {}
  Cbor(std::string_view value) : type_(Type::TextString), text_(value) {}
  Cbor(const std::string& value) : type_(Type::TextString), text_(value) {}
  Cbor(const char* value) : type_(Type::TextString), text_(value) {}
  Cbor(bool value) : type_(Type::Bool), boolean_(value) {}
  static Cbor array(std::vector<Cbor> items);
  static Cbor map(std::vector<std::pair<Cbor, Cbor>> entries);

  Type type() const { return type_; }
  bool is(Type type) const { return type_ == type; }
  std::int64_t integer() const { return integer_; }
  const Bytes& bytes() const { return bytes_; }
  const std::string& text() const { return text_; }
  bool boolean() const { return boolean_; }
  const std::vector<Cbor>& items() const { return items_; }
  const std::vector<std::pair<Cbor, Cbor>>& entries() const { return entries_; }

  // The value of a map's integer or text key; null when absent or not a map.
  const Cbor* find(std::int64_t key) const;
  const Cbor* find(std::string_view key) const;

  Bytes encode() const;
  void encode_into(Bytes& out) const;

 private:
  Type type_;
  std::int64_t integer_ = 0;
  Bytes bytes_;
  std::string text_;
  bool boolean_ = false;
  std::vector<Cbor> items_;
  std::vector<std::pair<Cbor, Cbor>> entries_;
};

// The one value that fills `data` exactly; nullopt for anything malformed,
// unsupported (tags, floats, indefinite lengths), nested deeper than 16 or
// followed by more bytes.
std::optional<Cbor> decode_cbor(std::span<const std::uint8_t> data);
// The first value of `data` and the number of bytes it takes, for values
// that other bytes follow (a COSE key inside authenticator data).
std::optional<std::pair<Cbor, std::size_t>> decode_cbor_prefix(std::span<const std::uint8_t> data);

}  // namespace quarn::softkey
