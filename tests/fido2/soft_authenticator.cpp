#include "tests/fido2/soft_authenticator.h"

#include <charconv>

namespace quarn::softkey {
namespace {

constexpr std::uint8_t flag_user_present = 0x01;
constexpr std::uint8_t flag_user_verified = 0x04;
constexpr std::uint8_t flag_attested_credential = 0x40;
constexpr std::uint8_t flag_extension_data = 0x80;
constexpr std::int64_t permission_make_credential = 0x01;
constexpr std::int64_t permission_get_assertion = 0x02;
constexpr std::size_t nonce_size = 16;
constexpr std::size_t tag_size = 32;
constexpr int max_pin_retries = 8;
constexpr std::string_view aaguid = "quarn soft key..";  // 16 bytes

enum Subcommand { get_retries = 1, get_key_agreement = 2, get_pin_token = 5, get_uv_token = 6, get_pin_token_with_permissions = 9 };

Bytes status(std::uint8_t code) { return Bytes{code}; }

Bytes answer(const Cbor& response) {
  Bytes out{ctap::ok};
  response.encode_into(out);
  return out;
}

void put_be(Bytes& out, std::uint64_t value, int size) {
  for (int i = size - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

bool flag_of(const Cbor* options, std::string_view name, bool otherwise) {
  const Cbor* value = options ? options->find(name) : nullptr;
  return value && value->is(Cbor::Type::Bool) ? value->boolean() : otherwise;
}

const Cbor* typed(const Cbor& map, std::int64_t key, Cbor::Type type) {
  const Cbor* value = map.find(key);
  return value && value->is(type) ? value : nullptr;
}

}  // namespace

std::optional<SoftKeyConfig> parse_soft_key_config(std::string_view text) {
  SoftKeyConfig config;
  bool uv_given = false;
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    const std::string_view word = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    const std::size_t equals = word.find('=');
    const std::string_view name = word.substr(0, equals);
    const std::string_view value = equals == std::string_view::npos ? std::string_view() : word.substr(equals + 1);
    if (name.empty()) continue;
    if (name == "identity") config.identity = value;
    else if (name == "secret") config.secret = value;
    else if (name == "pin") config.pin = std::string(value);
    else if (name == "uv" || name == "no-uv") {
      config.built_in_uv = name == "uv";
      uv_given = true;
    } else if (name == "protocols") {
      config.protocols.clear();
      for (char digit : value) {
        if (digit == '1' || digit == '2') config.protocols.push_back(digit - '0');
        else if (digit != '+') return std::nullopt;
      }
      if (config.protocols.empty()) return std::nullopt;
    } else if (name == "ctap20") config.ctap21 = false;
    else if (name == "refuse") config.refuse = true;
    else if (name == "no-hmac-secret") config.hmac_secret = false;
    else if (name == "absent") config.absent = true;
    else if (name == "api") {
      if (std::from_chars(value.data(), value.data() + value.size(), config.api_version).ec != std::errc())
        return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
  if (config.pin && !uv_given) config.built_in_uv = false;
  return config;
}

SoftAuthenticator::SoftAuthenticator(SoftKeyConfig config)
    : config_(std::move(config)),
      identity_key_(sha256(bytes_of("quarn soft key identity " + config_.identity))),
      secret_key_(sha256(bytes_of("quarn soft key secret " + config_.secret))),
      key_agreement_(P256Key::generate()) {}

Bytes SoftAuthenticator::handle(ByteView request) {
  if (request.empty()) return status(ctap::invalid_length);
  const std::uint8_t command = request[0];
  if (command == ctap_get_info) return get_info();
  const auto parameters = request.size() > 1 ? decode_cbor(request.subspan(1)) : std::optional(Cbor::map({}));
  if (!parameters || !parameters->is(Cbor::Type::Map)) return status(ctap::invalid_cbor);
  switch (command) {
    case ctap_make_credential: return make_credential(*parameters);
    case ctap_get_assertion: return get_assertion(*parameters);
    case ctap_client_pin: return client_pin(*parameters);
    default: return status(ctap::invalid_command);
  }
}

Bytes SoftAuthenticator::get_info() const {
  std::vector<Cbor> versions = {"FIDO_2_0"};
  if (config_.ctap21) versions.emplace_back("FIDO_2_1");
  std::vector<std::pair<Cbor, Cbor>> options = {{"rk", false}, {"up", true}, {"clientPin", config_.pin.has_value()}};
  if (config_.built_in_uv) options.emplace_back("uv", true);
  if (config_.ctap21) options.emplace_back("pinUvAuthToken", true);
  std::vector<Cbor> protocols;
  for (int p : config_.protocols) protocols.emplace_back(p);
  std::vector<std::pair<Cbor, Cbor>> info = {{1, Cbor::array(std::move(versions))},
                                             {3, Cbor(bytes_of(aaguid))},
                                             {4, Cbor::map(std::move(options))},
                                             {5, 1200},
                                             {6, Cbor::array(std::move(protocols))}};
  if (config_.hmac_secret) info.emplace_back(2, Cbor::array({"hmac-secret"}));
  return answer(Cbor::map(std::move(info)));
}

Bytes SoftAuthenticator::make_credential(const Cbor& request) {
  const Cbor* hash = typed(request, 1, Cbor::Type::ByteString);
  const Cbor* rp = typed(request, 2, Cbor::Type::Map);
  const Cbor* user = typed(request, 3, Cbor::Type::Map);
  const Cbor* parameters = typed(request, 4, Cbor::Type::Array);
  if (!hash || !rp || !user || !parameters) return status(ctap::missing_parameter);
  const Cbor* rp_id = rp->find("id");
  const Cbor* user_id = user->find("id");
  if (!rp_id || !rp_id->is(Cbor::Type::TextString) || !user_id || !user_id->is(Cbor::Type::ByteString))
    return status(ctap::missing_parameter);
  bool es256 = false;
  for (const Cbor& p : parameters->items()) {
    const Cbor* alg = p.find("alg");
    const Cbor* type = p.find("type");
    es256 = es256 || (alg && alg->is(Cbor::Type::Integer) && alg->integer() == -7 && type &&
                      type->is(Cbor::Type::TextString) && type->text() == "public-key");
  }
  if (!es256) return status(ctap::unsupported_algorithm);
  const Cbor* options = request.find(7);
  if (flag_of(options, "rk", false)) return status(ctap::unsupported_option);
  if (!flag_of(options, "up", true)) return status(ctap::invalid_option);

  const Verification verified =
      verify_user(request, 8, 9, 7, hash->bytes(), permission_make_credential, rp_id->text());
  if (verified.status != ctap::ok) return status(verified.status);
  if (config_.refuse) return status(ctap::operation_denied);

  const Cbor* extensions = request.find(6);
  const bool hmac_secret = config_.hmac_secret && flag_of(extensions, "hmac-secret", false);
  const Bytes rp_id_hash = sha256(bytes_of(rp_id->text()));
  const Bytes nonce = random_bytes(nonce_size);
  const Bytes id = credential_id(rp_id_hash, nonce);
  const P256Key key = credential_key(nonce);

  Bytes data = rp_id_hash;
  data.push_back(static_cast<std::uint8_t>(flag_user_present | (verified.user_verified ? flag_user_verified : 0) |
                                           flag_attested_credential | (hmac_secret ? flag_extension_data : 0)));
  put_be(data, ++counter_, 4);
  data.insert(data.end(), aaguid.begin(), aaguid.end());
  put_be(data, id.size(), 2);
  data.insert(data.end(), id.begin(), id.end());
  cose_es256_key(key).encode_into(data);
  if (hmac_secret) Cbor::map({{"hmac-secret", true}}).encode_into(data);

  const Bytes signature = ecdsa_sign(key, concat({data, hash->bytes()}));
  ++observed_.credentials_made;
  observed_.last_user_verified = verified.user_verified;
  return answer(Cbor::map({{1, "packed"},
                           {2, Cbor(data)},
                           {3, Cbor::map({{"alg", -7}, {"sig", Cbor(signature)}})}}));
}

Bytes SoftAuthenticator::get_assertion(const Cbor& request) {
  const Cbor* rp_id = typed(request, 1, Cbor::Type::TextString);
  const Cbor* hash = typed(request, 2, Cbor::Type::ByteString);
  if (!rp_id || !hash) return status(ctap::missing_parameter);
  const Cbor* options = request.find(5);
  const Verification verified =
      verify_user(request, 6, 7, 5, hash->bytes(), permission_get_assertion, rp_id->text());
  if (verified.status != ctap::ok) return status(verified.status);

  const Bytes rp_id_hash = sha256(bytes_of(rp_id->text()));
  std::optional<Bytes> nonce;
  Bytes id;
  if (const Cbor* allowed = typed(request, 3, Cbor::Type::Array)) {
    for (const Cbor& descriptor : allowed->items()) {
      const Cbor* candidate = descriptor.find("id");
      if (!candidate || !candidate->is(Cbor::Type::ByteString)) continue;
      nonce = nonce_of(candidate->bytes(), rp_id_hash);
      if (nonce) {
        id = candidate->bytes();
        break;
      }
    }
  }
  if (!nonce) return status(ctap::no_credentials);
  const bool user_present = flag_of(options, "up", true);
  if (user_present && config_.refuse) return status(ctap::operation_denied);

  std::optional<Bytes> output;
  const Cbor* extensions = request.find(4);
  const Cbor* hmac_input = extensions ? extensions->find("hmac-secret") : nullptr;
  if (hmac_input && config_.hmac_secret) {
    auto computed = hmac_secret_output(*hmac_input, *nonce, verified.user_verified);
    if (!computed) return status(computed.error());
    output = std::move(*computed);
  }

  Bytes data = rp_id_hash;
  data.push_back(static_cast<std::uint8_t>((user_present ? flag_user_present : 0) |
                                           (verified.user_verified ? flag_user_verified : 0) |
                                           (output ? flag_extension_data : 0)));
  put_be(data, ++counter_, 4);
  if (output) Cbor::map({{"hmac-secret", Cbor(*output)}}).encode_into(data);
  const Bytes signature = ecdsa_sign(credential_key(*nonce), concat({data, hash->bytes()}));
  ++observed_.assertions;
  observed_.last_user_verified = verified.user_verified;
  observed_.last_hmac_secret = output.has_value();
  return answer(Cbor::map({{1, Cbor::map({{"id", Cbor(id)}, {"type", "public-key"}})},
                           {2, Cbor(data)},
                           {3, Cbor(signature)}}));
}

Bytes SoftAuthenticator::client_pin(const Cbor& request) {
  const Cbor* subcommand = typed(request, 2, Cbor::Type::Integer);
  if (!subcommand) return status(ctap::missing_parameter);
  if (subcommand->integer() == get_retries) return answer(Cbor::map({{3, pin_retries_}}));
  const Cbor* version = typed(request, 1, Cbor::Type::Integer);
  if (!version) return status(ctap::missing_parameter);
  const auto protocol = PinProtocol::of(version->integer());
  if (!protocol || !offers(protocol->version())) return status(ctap::invalid_parameter);
  observed_.last_protocol = protocol->version();
  switch (subcommand->integer()) {
    case get_key_agreement:
      return answer(Cbor::map({{1, cose_key(key_agreement_)}}));
    case get_pin_token:
      if (!config_.pin) return status(ctap::pin_not_set);
      return issue_token(request, *protocol, get_pin_token);
    case get_pin_token_with_permissions:
      if (!config_.ctap21) return status(ctap::invalid_subcommand);
      if (!config_.pin) return status(ctap::pin_not_set);
      return issue_token(request, *protocol, get_pin_token_with_permissions);
    case get_uv_token:
      if (!config_.ctap21) return status(ctap::invalid_subcommand);
      if (!config_.built_in_uv) return status(ctap::not_allowed);
      return issue_token(request, *protocol, get_uv_token);
    default:
      return status(ctap::invalid_subcommand);
  }
}

Bytes SoftAuthenticator::issue_token(const Cbor& request, const PinProtocol& protocol, int subcommand) {
  const Cbor* platform_key = typed(request, 3, Cbor::Type::Map);
  if (!platform_key) return status(ctap::missing_parameter);
  const auto shared = shared_secret(protocol, *platform_key);
  if (!shared) return status(ctap::invalid_parameter);

  Token token{random_bytes(32), permission_make_credential | permission_get_assertion, std::nullopt,
              subcommand == get_uv_token};
  if (subcommand != get_pin_token) {
    const Cbor* permissions = typed(request, 9, Cbor::Type::Integer);
    if (!permissions || permissions->integer() == 0) return status(ctap::missing_parameter);
    token.permissions = permissions->integer();
    if (const Cbor* rp_id = typed(request, 10, Cbor::Type::TextString)) token.rp_id = rp_id->text();
  }
  if (subcommand == get_uv_token) {
    if (config_.refuse) return status(ctap::operation_denied);
  } else {
    if (pin_retries_ == 0) return status(ctap::pin_blocked);
    const Cbor* pin_hash_enc = typed(request, 6, Cbor::Type::ByteString);
    if (!pin_hash_enc) return status(ctap::missing_parameter);
    const auto pin_hash = protocol.decrypt(*shared, pin_hash_enc->bytes());
    Bytes expected = sha256(bytes_of(*config_.pin));
    expected.resize(16);
    if (!pin_hash || *pin_hash != expected) {
      --pin_retries_;
      key_agreement_ = P256Key::generate();
      return status(pin_retries_ == 0 ? ctap::pin_blocked : ctap::pin_invalid);
    }
    pin_retries_ = max_pin_retries;
  }
  token_ = std::move(token);
  observed_.token_subcommands.push_back(subcommand);
  return answer(Cbor::map({{2, Cbor(protocol.encrypt(*shared, token_->value))}}));
}

SoftAuthenticator::Verification SoftAuthenticator::verify_user(const Cbor& request, int param_key, int protocol_key,
                                                               int options_key, ByteView client_data_hash,
                                                               std::int64_t permission, const std::string& rp_id) {
  if (const Cbor* param = request.find(param_key)) {
    if (!param->is(Cbor::Type::ByteString)) return {ctap::cbor_unexpected_type};
    const Cbor* version = typed(request, protocol_key, Cbor::Type::Integer);
    if (!version) return {ctap::missing_parameter};
    const auto protocol = PinProtocol::of(version->integer());
    if (!protocol || !offers(protocol->version())) return {ctap::invalid_parameter};
    if (!token_ || protocol->authenticate(token_->value, client_data_hash) != param->bytes())
      return {ctap::pin_auth_invalid};
    if (!(token_->permissions & permission) || (token_->rp_id && *token_->rp_id != rp_id))
      return {ctap::unauthorized_permission};
    return {ctap::ok, true};
  }
  if (flag_of(request.find(options_key), "uv", false)) {
    if (!config_.built_in_uv) return {ctap::invalid_option};
    if (config_.refuse) return {ctap::operation_denied};
    return {ctap::ok, true};
  }
  // A key with a PIN makes no credential without it.
  if (config_.pin && permission == permission_make_credential) return {ctap::pin_required};
  return {ctap::ok, false};
}

std::expected<Bytes, std::uint8_t> SoftAuthenticator::hmac_secret_output(const Cbor& input, ByteView nonce,
                                                                         bool user_verified) {
  if (!input.is(Cbor::Type::Map)) return std::unexpected(ctap::cbor_unexpected_type);
  const Cbor* platform_key = typed(input, 1, Cbor::Type::Map);
  const Cbor* salt_enc = typed(input, 2, Cbor::Type::ByteString);
  const Cbor* salt_auth = typed(input, 3, Cbor::Type::ByteString);
  if (!platform_key || !salt_enc || !salt_auth) return std::unexpected(ctap::missing_parameter);
  const Cbor* version = typed(input, 4, Cbor::Type::Integer);
  const auto protocol = PinProtocol::of(version ? version->integer() : 1);
  if (!protocol || !offers(protocol->version())) return std::unexpected(ctap::invalid_parameter);
  const auto shared = shared_secret(*protocol, *platform_key);
  if (!shared) return std::unexpected(ctap::invalid_parameter);
  if (protocol->authenticate(*shared, salt_enc->bytes()) != salt_auth->bytes())
    return std::unexpected(ctap::pin_auth_invalid);
  const auto salts = protocol->decrypt(*shared, salt_enc->bytes());
  if (!salts || (salts->size() != 32 && salts->size() != 64)) return std::unexpected(ctap::invalid_length);

  // CredRandom differs with and without user verification, as CTAP2 asks.
  const Bytes cred_random = hmac_sha256(secret_key_, concat({bytes_of(user_verified ? "uv" : "up"), nonce}));
  Bytes outputs;
  for (std::size_t at = 0; at < salts->size(); at += 32) {
    const Bytes output = hmac_sha256(cred_random, ByteView(*salts).subspan(at, 32));
    outputs.insert(outputs.end(), output.begin(), output.end());
  }
  observed_.last_protocol = protocol->version();
  return protocol->encrypt(*shared, outputs);
}

std::optional<Bytes> SoftAuthenticator::shared_secret(const PinProtocol& protocol, const Cbor& platform_key) const {
  const auto point = cose_point(platform_key);
  if (!point) return std::nullopt;
  const auto x = ecdh_shared_x(key_agreement_, point->first, point->second);
  if (!x) return std::nullopt;
  return protocol.kdf(*x);
}

bool SoftAuthenticator::offers(int protocol) const {
  for (int p : config_.protocols)
    if (p == protocol) return true;
  return false;
}

Bytes SoftAuthenticator::credential_id(ByteView rp_id_hash, ByteView nonce) const {
  return concat({nonce, hmac_sha256(identity_key_, concat({bytes_of("credential"), rp_id_hash, nonce}))});
}

std::optional<Bytes> SoftAuthenticator::nonce_of(ByteView id, ByteView rp_id_hash) const {
  if (id.size() != nonce_size + tag_size) return std::nullopt;
  const ByteView nonce = id.first(nonce_size);
  if (credential_id(rp_id_hash, nonce) != Bytes(id.begin(), id.end())) return std::nullopt;
  return Bytes(nonce.begin(), nonce.end());
}

P256Key SoftAuthenticator::credential_key(ByteView nonce) const {
  return P256Key::from_seed(hmac_sha256(identity_key_, concat({bytes_of("ecdsa"), nonce})));
}

}  // namespace quarn::softkey
