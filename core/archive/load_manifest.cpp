#include "core/archive/load_manifest.h"

#include <string>

#include "core/archive/frame.h"
#include "core/error/detail_texts.h"
#include "core/volumes/footer.h"

namespace quarn {

Result<LoadedManifest> load_manifest(VolumeSet& volumes, const Header& header, const FrameCipher& cipher) {
  const std::uint64_t a = volumes.archive_len();
  auto footer = check_footer(volumes, header.length());
  if (!footer) return std::unexpected(std::move(footer.error()));
  auto frame = read_frame(volumes);
  if (!frame) return std::unexpected(std::move(frame.error()));

  const FrameHeader frame_header = frame->header;
  if (frame_header.kind != format::frame_kind_file_list ||
      footer->filelist_offset + format::frame_header_size + frame_header.stored_length + format::footer_size != a)
    return std::unexpected(ArchiveError::corrupt(std::string(texts::filelist_damaged)));

  LoadedManifest loaded;
  loaded.digest = header.digest();
  loaded.filelist_offset = footer->filelist_offset;
  FrameDecoder decoder(cipher, loaded.digest, FrameDecoder::Messages::FileList);
  auto plain = decoder.decode(std::move(*frame), format::max_file_list_plain);
  if (!plain) return std::unexpected(std::move(plain.error()));

  auto manifest = parse_manifest(std::string_view(reinterpret_cast<const char*>(plain->data()), plain->size()));
  if (!manifest) return std::unexpected(std::move(manifest.error()));
  if (auto ok = check_manifest(*manifest, frame_header.index, header.block_size); !ok)
    return std::unexpected(std::move(ok.error()));
  loaded.manifest = std::move(*manifest);
  return loaded;
}

}  // namespace quarn
