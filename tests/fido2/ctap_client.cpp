#include "tests/fido2/ctap_client.h"

namespace quarn::softkey {
namespace {

constexpr std::size_t rp_id_hash_size = 32;
constexpr std::size_t fixed_authenticator_data = rp_id_hash_size + 1 + 4;
constexpr std::size_t aaguid_size = 16;
constexpr std::uint8_t flag_attested_credential = 0x40;
constexpr std::uint8_t flag_extension_data = 0x80;

// The extension outputs at the end of authenticator data; an empty map when
// there are none, nullopt when the data is malformed.
std::optional<Cbor> extension_outputs(ByteView data) {
  if (data.size() < fixed_authenticator_data) return std::nullopt;
  const std::uint8_t flags = data[rp_id_hash_size];
  std::size_t at = fixed_authenticator_data;
  if (flags & flag_attested_credential) {
    if (data.size() < at + aaguid_size + 2) return std::nullopt;
    at += aaguid_size;
    const std::size_t id_length = (std::size_t{data[at]} << 8) | data[at + 1];
    at += 2 + id_length;
    if (at > data.size()) return std::nullopt;
    const auto key = decode_cbor_prefix(data.subspan(at));
    if (!key) return std::nullopt;
    at += key->second;
  }
  if (!(flags & flag_extension_data)) return at == data.size() ? std::optional(Cbor::map({})) : std::nullopt;
  return decode_cbor(data.subspan(at));
}

Bytes credential_id_of(ByteView data) {
  const std::size_t at = fixed_authenticator_data + aaguid_size;
  if (data.size() < at + 2) return {};
  const std::size_t length = (std::size_t{data[at]} << 8) | data[at + 1];
  if (data.size() < at + 2 + length) return {};
  return Bytes(data.begin() + static_cast<std::ptrdiff_t>(at + 2),
               data.begin() + static_cast<std::ptrdiff_t>(at + 2 + length));
}

}  // namespace

std::optional<Cbor> CtapClient::call(std::uint8_t command, const Cbor& parameters, std::uint8_t& status) {
  Bytes request{command};
  parameters.encode_into(request);
  const Bytes answer = key_.handle(request);
  status = answer.empty() ? ctap::invalid_length : answer[0];
  if (status != ctap::ok) return std::nullopt;
  auto response = decode_cbor(ByteView(answer).subspan(1));
  if (!response || !response->is(Cbor::Type::Map)) status = ctap::invalid_cbor;
  return response;
}

MadeCredential CtapClient::make_credential(ByteView client_data_hash, const std::string& rp_id,
                                           const std::string& rp_name, ByteView user_id,
                                           const std::string& user_name, const std::string& display_name) {
  MadeCredential made;
  const Cbor request = Cbor::map({
      {1, Cbor(Bytes(client_data_hash.begin(), client_data_hash.end()))},
      {2, Cbor::map({{"id", rp_id}, {"name", rp_name}})},
      {3, Cbor::map({{"id", Cbor(Bytes(user_id.begin(), user_id.end()))},
                     {"name", user_name},
                     {"displayName", display_name}})},
      {4, Cbor::array({Cbor::map({{"alg", -7}, {"type", "public-key"}})})},
      {6, Cbor::map({{"hmac-secret", true}})},
      {7, Cbor::map({{"uv", true}})},
  });
  const auto response = call(ctap_make_credential, request, made.status);
  if (!response) return made;
  const Cbor* format = response->find(1);
  const Cbor* data = response->find(2);
  const Cbor* statement = response->find(3);
  if (!format || !data || !statement || !data->is(Cbor::Type::ByteString)) {
    made.status = ctap::invalid_cbor;
    return made;
  }
  made.authenticator_data = data->bytes();
  made.credential_id = credential_id_of(made.authenticator_data);
  made.attestation_statement = statement->encode();
  made.attestation_object =
      Cbor::map({{"fmt", *format}, {"attStmt", *statement}, {"authData", Cbor(made.authenticator_data)}}).encode();
  const auto outputs = extension_outputs(made.authenticator_data);
  const Cbor* enabled = outputs ? outputs->find("hmac-secret") : nullptr;
  made.hmac_secret = enabled && enabled->is(Cbor::Type::Bool) && enabled->boolean();
  if (!outputs || made.credential_id.empty()) made.status = ctap::invalid_cbor;
  return made;
}

Assertion CtapClient::get_assertion(const std::string& rp_id, ByteView client_data_hash, ByteView credential_id,
                                    ByteView salt) {
  Assertion asserted;
  const auto info = call(ctap_get_info, Cbor::map({}), asserted.status);
  const Cbor* offered = info ? info->find(6) : nullptr;
  if (!offered || !offered->is(Cbor::Type::Array) || offered->items().empty()) {
    if (asserted.status == ctap::ok) asserted.status = ctap::invalid_cbor;
    return asserted;
  }
  const auto protocol = PinProtocol::of(offered->items().front().integer());
  if (!protocol) {
    asserted.status = ctap::invalid_parameter;
    return asserted;
  }

  const auto agreement = call(ctap_client_pin, Cbor::map({{1, protocol->version()}, {2, 2}}), asserted.status);
  const Cbor* key_agreement = agreement ? agreement->find(1) : nullptr;
  const auto point = key_agreement ? cose_point(*key_agreement) : std::nullopt;
  const P256Key platform_key = P256Key::generate();
  const auto shared_x = point ? ecdh_shared_x(platform_key, point->first, point->second) : std::nullopt;
  if (!shared_x) {
    if (asserted.status == ctap::ok) asserted.status = ctap::invalid_parameter;
    return asserted;
  }
  const Bytes shared = protocol->kdf(*shared_x);
  const Bytes salt_enc = protocol->encrypt(shared, salt);

  const Cbor request = Cbor::map({
      {1, rp_id},
      {2, Cbor(Bytes(client_data_hash.begin(), client_data_hash.end()))},
      {3, Cbor::array({Cbor::map({{"id", Cbor(Bytes(credential_id.begin(), credential_id.end()))},
                                  {"type", "public-key"}})})},
      {4, Cbor::map({{"hmac-secret", Cbor::map({{1, cose_key(platform_key)},
                                                {2, Cbor(salt_enc)},
                                                {3, Cbor(protocol->authenticate(shared, salt_enc))},
                                                {4, protocol->version()}})}})},
      {5, Cbor::map({{"uv", true}})},
  });
  const auto response = call(ctap_get_assertion, request, asserted.status);
  if (!response) return asserted;
  const Cbor* credential = response->find(1);
  const Cbor* data = response->find(2);
  const Cbor* signature = response->find(3);
  const Cbor* id = credential ? credential->find("id") : nullptr;
  if (!id || !data || !signature || !id->is(Cbor::Type::ByteString) || !data->is(Cbor::Type::ByteString) ||
      !signature->is(Cbor::Type::ByteString)) {
    asserted.status = ctap::invalid_cbor;
    return asserted;
  }
  asserted.credential_id = id->bytes();
  asserted.authenticator_data = data->bytes();
  asserted.signature = signature->bytes();
  const auto outputs = extension_outputs(asserted.authenticator_data);
  const Cbor* encrypted = outputs ? outputs->find("hmac-secret") : nullptr;
  if (encrypted && encrypted->is(Cbor::Type::ByteString)) {
    auto plain = protocol->decrypt(shared, encrypted->bytes());
    if (plain && plain->size() >= 32) {
      plain->resize(32);
      asserted.hmac_secret = std::move(*plain);
    }
  }
  return asserted;
}

}  // namespace quarn::softkey
