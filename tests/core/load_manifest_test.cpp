#include <gtest/gtest.h>
#include <zstd.h>

#include "core/error/detail_texts.h"
#include "tests/support/archive_editor.h"
#include "tests/support/archive_maker.h"
#include "tests/support/temp_dir.h"

namespace quarn {
namespace {

class LoadManifestTest : public ::testing::Test {
 protected:
  test::EditableArchive make(EncryptionMode mode, int level) {
    auto options = test::fast_options(mode);
    options.zstd_level = level;
    EXPECT_TRUE(test::make_archive(dir.path(), {{"a.txt", "alpha"}}, options,
                                   {dir / "base.qrn", std::nullopt, std::nullopt, true}));
    auto volumes = VolumeSet::open(dir / "base.qrn").value();
    return test::EditableArchive::parse(test::read_file(dir / "base.qrn"), Header::read(volumes).value().length());
  }

  Result<LoadedManifest> load(const test::EditableArchive& archive) {
    const auto path = dir / ("m" + std::to_string(counter++) + ".qrn");
    test::write_file(path, archive.bytes());
    auto volumes = VolumeSet::open(path).value();
    const auto header = Header::read(volumes).value();
    const SecretBuffer password = SecretBuffer::from_bytes(test::bytes_of(test::test_password));
    const auto cipher = derive_keys(key_material(header), &password, {}).value();
    return load_manifest(volumes, header, cipher);
  }

  void expect(const test::EditableArchive& archive, ErrorKind kind, const std::string& detail, const char* label) {
    auto result = load(archive);
    ASSERT_FALSE(result) << label;
    EXPECT_EQ(result.error().kind(), kind) << label << ": " << result.error().display();
    EXPECT_EQ(result.error().detail(), detail) << label;
  }

  // Replaces the file list of a plain archive with `json`, stored or compressed.
  static void put_file_list(test::EditableArchive& archive, const std::string& json, bool compress,
                            std::uint32_t plain_length) {
    Frame& f = archive.file_list();
    if (compress) {
      f.payload.resize(ZSTD_compressBound(json.size()));
      f.payload.resize(ZSTD_compress(f.payload.data(), f.payload.size(), json.data(), json.size(), 3));
      f.header.flags = 0;
    } else {
      f.payload.assign(json.begin(), json.end());
      f.header.flags = format::frame_flag_stored;
    }
    f.header.plain_length = plain_length;
    f.header.stored_length = static_cast<std::uint32_t>(f.payload.size());
    test::EditableArchive::recompute_crc(f);
  }

  test::TempDir dir;
  int counter = 0;
};

TEST_F(LoadManifestTest, FrameLevelFailuresOfTheFileList) {
  {
    auto a = make(EncryptionMode::Aes256Gcm, 3);
    a.file_list().header.kind = format::frame_kind_data;
    test::EditableArchive::recompute_crc(a.file_list());
    expect(a, ErrorKind::Corrupt, std::string(texts::filelist_damaged), "data kind");
  }
  {
    auto a = make(EncryptionMode::Aes256Gcm, 3);
    a.after = {0};
    expect(a, ErrorKind::Corrupt, std::string(texts::filelist_damaged), "extra byte before the footer");
  }
  {
    auto a = make(EncryptionMode::Aes256Gcm, 3);
    a.file_list().payload[0] ^= 1;
    expect(a, ErrorKind::Corrupt, std::string(texts::filelist_checksum), "crc");
  }
  {
    auto a = make(EncryptionMode::ChaCha20Poly1305ThenAes256Gcm, 3);
    a.file_list().payload[0] ^= 1;
    test::EditableArchive::recompute_crc(a.file_list());
    expect(a, ErrorKind::Integrity, std::string(texts::frame_not_authentic), "tampered");
  }
  {
    auto a = make(EncryptionMode::None, 3);
    a.file_list().header.stored_length = format::max_read_frame_stored + 1;
    expect(a, ErrorKind::Corrupt, texts::frame_bad_size(1), "stored length limit");
  }
}

TEST_F(LoadManifestTest, LengthAndDecompressionOfTheFileList) {
  const std::string json =
      R"({"format":"quarn","version":1,"created_unix":0,"tool":"t","data_frames":1,"total_size":5,"entries":[{"path":"a.txt","kind":"file","size":5,"sha256":"x","first_frame":0,"frames":1}]})";
  const auto n = static_cast<std::uint32_t>(json.size());
  {
    auto a = make(EncryptionMode::None, 0);
    put_file_list(a, json, false, n);
    EXPECT_TRUE(load(a)) << "stored, exact";
    put_file_list(a, json, false, n + 1);
    expect(a, ErrorKind::Corrupt, std::string(texts::filelist_length), "stored, claims more");
    put_file_list(a, json, true, n + 1);
    expect(a, ErrorKind::Corrupt, std::string(texts::filelist_length), "compressed, claims more");
    put_file_list(a, json, true, n - 1);
    expect(a, ErrorKind::Corrupt, std::string(texts::filelist_decompression), "compressed, inflates beyond");
    put_file_list(a, "{]", false, 2);
    auto result = load(a);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().detail().rfind("spis plikow: blad skladni JSON (wiersz 1, kolumna 2)", 0), 0u)
        << result.error().detail();
  }
}

TEST_F(LoadManifestTest, TheFileListMustMatchTheFrames) {
  auto a = make(EncryptionMode::None, 0);
  const std::string json =
      R"({"format":"quarn","version":1,"created_unix":0,"tool":"t","data_frames":2,"total_size":5,"entries":[]})";
  put_file_list(a, json, false, static_cast<std::uint32_t>(json.size()));
  expect(a, ErrorKind::Integrity, std::string(texts::filelist_mismatch), "data_frames 2, index 1");
}

}  // namespace
}  // namespace quarn
