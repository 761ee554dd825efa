#include "tests/fido2/soft_key_devices.h"

#include <fido.h>

#include <algorithm>
#include <cstring>

namespace quarn::softkey {
namespace {

constexpr std::string_view path_prefix = "softkey:";
constexpr std::uint32_t channel_id = 1;

// One open device: the key and the answer waiting to be received.
struct Channel {
  SoftAuthenticator* key;
  Bytes pending;
};

SoftAuthenticator* key_of(const char* path) {
  const std::string_view text(path);
  if (!text.starts_with(path_prefix)) return nullptr;
  return reinterpret_cast<SoftAuthenticator*>(std::stoull(std::string(text.substr(path_prefix.size())), nullptr, 16));
}

void* io_open(const char* path) {
  SoftAuthenticator* key = key_of(path);
  return key ? new Channel{key, {}} : nullptr;
}
void io_close(void* handle) { delete static_cast<Channel*>(handle); }
// Frames never reach these: the transport functions carry whole messages.
int io_read(void*, unsigned char*, size_t, int) { return -1; }
int io_write(void*, const unsigned char*, size_t) { return -1; }

// CTAPHID_INIT's answer: the nonce, our channel, CTAPHID version 2, device
// version 1.0.0, CBOR and no CTAP1 messages.
Bytes init_answer(const unsigned char* nonce, std::size_t length) {
  Bytes out(nonce, nonce + std::min<std::size_t>(length, 8));
  out.resize(8);
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(channel_id >> shift));
  out.insert(out.end(), {2, 1, 0, 0, FIDO_CAP_CBOR | FIDO_CAP_NMSG});
  return out;
}

int transport_tx(fido_dev_t* device, uint8_t command, const unsigned char* data, size_t length) {
  auto* channel = static_cast<Channel*>(fido_dev_io_handle(device));
  if (!channel) return -1;
  switch (command) {
    case CTAP_CMD_INIT:
      channel->pending = init_answer(data, length);
      break;
    case CTAP_CMD_CBOR:
      channel->pending = channel->key->handle(ByteView(data, length));
      break;
    case CTAP_CMD_CANCEL:
      break;
    default:
      return -1;
  }
  return static_cast<int>(length);
}

int transport_rx(fido_dev_t* device, uint8_t, unsigned char* buffer, size_t size, int) {
  auto* channel = static_cast<Channel*>(fido_dev_io_handle(device));
  if (!channel || channel->pending.size() > size) return -1;
  std::memcpy(buffer, channel->pending.data(), channel->pending.size());
  const int received = static_cast<int>(channel->pending.size());
  channel->pending.clear();
  return received;
}

const fido_dev_io_t io = {io_open, io_close, io_read, io_write};
const fido_dev_transport_t transport = {transport_rx, transport_tx};

}  // namespace

std::vector<std::string> SoftKeyDevices::paths() {
  std::vector<std::string> paths;
  char text[32];
  for (SoftAuthenticator* key : keys_) {
    std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(key)));
    paths.push_back(std::string(path_prefix) + text);
  }
  return paths;
}

int SoftKeyDevices::open(fido_dev* device, const std::string& path) {
  if (const int status = fido_dev_set_io_functions(device, &io); status != FIDO_OK) return status;
  if (const int status = fido_dev_set_transport_functions(device, &transport); status != FIDO_OK) return status;
  return fido_dev_open(device, path.c_str());
}

}  // namespace quarn::softkey
