// The catalogue of detail texts that the core puts inside its errors. Every
// unit words its failures from here, so one failure always reads the same.
// Lower-case Polish without diacritics, except where quoted otherwise.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quarn::texts {

// Container, header, frames, file list.
inline constexpr std::string_view truncated = "archiwum jest uciete";
inline constexpr std::string_view bad_footer = "brak lub uszkodzona stopka (plik uciety?)";
inline constexpr std::string_view bad_filelist_position = "niedozwolone polozenie spisu plikow";
inline constexpr std::string_view parts_too_long = "laczny rozmiar czesci archiwum przekracza 2^64 B";
// A program whose certificate directory is set but whose table is not what a
// signing tool leaves at the end of the file.
inline constexpr std::string_view signature_area_damaged = "obszar podpisu programu jest uszkodzony";
inline constexpr std::string_view unknown_encryption_mode = "nieznany tryb szyfrowania";
inline constexpr std::string_view unknown_compression = "nieznana metoda kompresji";
inline constexpr std::string_view bad_block_size = "niedozwolony rozmiar bloku";
inline constexpr std::string_view inconsistent_encryption_flags = "sprzeczne flagi szyfrowania w naglowku";
inline constexpr std::string_view bad_argon2_parameters = "niedozwolone parametry Argon2id w naglowku";
inline constexpr std::string_view extensions_too_large = "za duze rozszerzenia naglowka";
inline constexpr std::string_view header_truncated = "naglowek jest uciety";
inline constexpr std::string_view header_damaged = "naglowek archiwum jest uszkodzony";
inline constexpr std::string_view extensions_damaged = "uszkodzone rozszerzenia naglowka";
inline constexpr std::string_view fido2_descriptor_damaged = "uszkodzony opis klucza FIDO2 w naglowku";
inline constexpr std::string_view foreign_bytes_before_filelist = "miedzy danymi a spisem plikow sa obce bajty";
inline constexpr std::string_view filelist_damaged = "spis plikow jest uszkodzony";
inline constexpr std::string_view filelist_checksum = "suma kontrolna spisu plikow sie nie zgadza";
inline constexpr std::string_view filelist_decompression = "nie mozna rozpakowac spisu plikow";
inline constexpr std::string_view filelist_length = "spis plikow ma zla dlugosc";
inline constexpr std::string_view filelist_mismatch = "spis plikow nie pasuje do archiwum";
inline constexpr std::string_view frame_count_mismatch = "liczba ramek nie zgadza sie ze spisem";

std::string missing_first_part(std::string_view path_text);
std::string archive_length_mismatch(std::uint64_t actual, std::uint64_t recorded);
std::string frame_bad_size(std::uint64_t index);
std::string frame_out_of_place(std::uint64_t index);
std::string frame_crc_mismatch(std::uint64_t index);
std::string frame_decompression(std::uint64_t index);
std::string frame_bad_length(std::uint64_t index);
std::string filelist_parse(std::string_view parser_message);
std::string inconsistent_entry(std::string_view path);

// Cryptography and second factors.
inline constexpr std::string_view wrong_password_or_factor =
    "nieprawidłowe hasło albo inny plik-klucz / klucz FIDO2";
inline constexpr std::string_view frame_not_authentic = "ramka nie przeszla uwierzytelnienia (zmieniona zawartosc)";
inline constexpr std::string_view key_file = "plik-klucz";
inline constexpr std::string_view key_file_size = "Plik-klucz musi miec od 1 B do 64 MiB.";
inline constexpr std::string_view fido2_platform_too_old =
    "klucz FIDO2 z hmac-secret wymaga Windows 10 21H1 lub nowszego";
inline constexpr std::string_view fido2_no_hmac_secret = "ten klucz FIDO2 nie obsluguje rozszerzenia hmac-secret";
// Integrity: the archive names a relying party other than ours, so the key
// would answer for another site.
inline constexpr std::string_view fido2_foreign_relying_party =
    "klucz FIDO2 w naglowku jest przypisany do innej strony niz Quarn";

std::string argon2_failure(std::string_view library_text);
std::string key_file_unreadable(std::string_view path, std::string_view system_text);
std::string random_generator_failure(std::uint32_t code);
std::string fido2_failure(std::string_view message, std::uint32_t code);
std::string fido2_credential_id_size(std::size_t bytes);

// Extraction.
inline constexpr std::string_view frame_without_file = "ramka bez pliku";
inline constexpr std::string_view filelist_disagrees_with_data = "spis plikow nie zgadza sie z danymi";
// A Message: a link (symbolic link, junction, other reparse point) already
// stands below the destination where `entry` needs the folder `folder` (the
// entry path up to that folder); both as stored.
std::string link_in_destination(std::string_view folder, std::string_view entry);

}  // namespace quarn::texts
