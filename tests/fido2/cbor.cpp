#include "tests/fido2/cbor.h"

#include <algorithm>

namespace quarn::softkey {
namespace {

constexpr int max_depth = 16;

void put_head(Bytes& out, std::uint8_t major, std::uint64_t value) {
  const auto first = static_cast<std::uint8_t>(major << 5);
  if (value < 24) {
    out.push_back(static_cast<std::uint8_t>(first | value));
    return;
  }
  int size = value <= 0xFF ? 1 : value <= 0xFFFF ? 2 : value <= 0xFFFFFFFF ? 4 : 8;
  out.push_back(static_cast<std::uint8_t>(first | (size == 1 ? 24 : size == 2 ? 25 : size == 4 ? 26 : 27)));
  for (int i = size - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}
  bool done() const { return at_ == data_.size(); }
  std::size_t consumed() const { return at_; }

  std::optional<Cbor> value(int depth) {
    if (depth > max_depth || at_ >= data_.size()) return std::nullopt;
    const std::uint8_t first = data_[at_++];
    const std::uint8_t major = first >> 5;
    const auto argument = head(first & 0x1F);
    if (!argument) return std::nullopt;
    switch (major) {
      case 0:
        if (*argument > INT64_MAX) return std::nullopt;
        return Cbor(static_cast<std::int64_t>(*argument));
      case 1:
        if (*argument > INT64_MAX) return std::nullopt;
        return Cbor(-1 - static_cast<std::int64_t>(*argument));
      case 2:
      case 3: {
        if (*argument > data_.size() - at_) return std::nullopt;
        const auto* begin = data_.data() + at_;
        at_ += *argument;
        if (major == 2) return Cbor(Bytes(begin, begin + *argument));
        return Cbor(std::string_view(reinterpret_cast<const char*>(begin), *argument));
      }
      case 4: {
        std::vector<Cbor> items;
        for (std::uint64_t i = 0; i < *argument; ++i) {
          auto item = value(depth + 1);
          if (!item) return std::nullopt;
          items.push_back(std::move(*item));
        }
        return Cbor::array(std::move(items));
      }
      case 5: {
        std::vector<std::pair<Cbor, Cbor>> entries;
        for (std::uint64_t i = 0; i < *argument; ++i) {
          auto key = value(depth + 1);
          if (!key) return std::nullopt;
          auto item = value(depth + 1);
          if (!item) return std::nullopt;
          entries.emplace_back(std::move(*key), std::move(*item));
        }
        return Cbor::map(std::move(entries));
      }
      case 7:
        if ((first & 0x1F) == 20) return Cbor(false);
        if ((first & 0x1F) == 21) return Cbor(true);
        if ((first & 0x1F) == 22) return Cbor();
        return std::nullopt;
      default:
        return std::nullopt;  // tags
    }
  }

 private:
  // The argument after the initial byte; indefinite lengths are refused.
  std::optional<std::uint64_t> head(std::uint8_t info) {
    if (info < 24) return info;
    if (info > 27) return std::nullopt;
    const std::size_t size = std::size_t{1} << (info - 24);
    if (size > data_.size() - at_) return std::nullopt;
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) value = (value << 8) | data_[at_++];
    return value;
  }

  std::span<const std::uint8_t> data_;
  std::size_t at_ = 0;
};

}  // namespace

Cbor Cbor::array(std::vector<Cbor> items) {
  Cbor value;
  value.type_ = Type::Array;
  value.items_ = std::move(items);
  return value;
}

Cbor Cbor::map(std::vector<std::pair<Cbor, Cbor>> entries) {
  Cbor value;
  value.type_ = Type::Map;
  value.entries_ = std::move(entries);
  return value;
}

const Cbor* Cbor::find(std::int64_t key) const {
  for (const auto& [k, v] : entries_)
    if (k.is(Type::Integer) && k.integer() == key) return &v;
  return nullptr;
}

const Cbor* Cbor::find(std::string_view key) const {
  for (const auto& [k, v] : entries_)
    if (k.is(Type::TextString) && k.text() == key) return &v;
  return nullptr;
}

Bytes Cbor::encode() const {
  Bytes out;
  encode_into(out);
  return out;
}

void Cbor::encode_into(Bytes& out) const {
  switch (type_) {
    case Type::Integer:
      if (integer_ >= 0) put_head(out, 0, static_cast<std::uint64_t>(integer_));
      else put_head(out, 1, static_cast<std::uint64_t>(-1 - integer_));
      return;
    case Type::ByteString:
      put_head(out, 2, bytes_.size());
      out.insert(out.end(), bytes_.begin(), bytes_.end());
      return;
    case Type::TextString:
      put_head(out, 3, text_.size());
      out.insert(out.end(), text_.begin(), text_.end());
      return;
    case Type::Array:
      put_head(out, 4, items_.size());
      for (const Cbor& item : items_) item.encode_into(out);
      return;
    case Type::Map: {
      std::vector<std::pair<Bytes, Bytes>> encoded;
      for (const auto& [k, v] : entries_) encoded.emplace_back(k.encode(), v.encode());
      std::sort(encoded.begin(), encoded.end(), [](const auto& a, const auto& b) {
        return a.first.size() != b.first.size() ? a.first.size() < b.first.size() : a.first < b.first;
      });
      put_head(out, 5, encoded.size());
      for (const auto& [k, v] : encoded) {
        out.insert(out.end(), k.begin(), k.end());
        out.insert(out.end(), v.begin(), v.end());
      }
      return;
    }
    case Type::Bool:
      out.push_back(boolean_ ? 0xF5 : 0xF4);
      return;
    case Type::Null:
      out.push_back(0xF6);
      return;
  }
}

std::optional<Cbor> decode_cbor(std::span<const std::uint8_t> data) {
  Reader reader(data);
  auto value = reader.value(0);
  if (!value || !reader.done()) return std::nullopt;
  return value;
}

std::optional<std::pair<Cbor, std::size_t>> decode_cbor_prefix(std::span<const std::uint8_t> data) {
  Reader reader(data);
  auto value = reader.value(0);
  if (!value) return std::nullopt;
  return std::make_pair(std::move(*value), reader.consumed());
}

}  // namespace quarn::softkey
