#include "core/error/detail_texts.h"

#include <cstdio>

namespace quarn::texts {
namespace {

std::string hex8(std::uint32_t code) {
  char buffer[9];
  std::snprintf(buffer, sizeof buffer, "%08X", code);
  return buffer;
}

std::string join(std::string_view a, std::uint64_t n, std::string_view b) {
  std::string s(a);
  s += std::to_string(n);
  s += b;
  return s;
}

}  // namespace

std::string missing_first_part(std::string_view path_text) {
  return "Brak pierwszej czesci archiwum (" + std::string(path_text) + ").";
}

std::string archive_length_mismatch(std::uint64_t actual, std::uint64_t recorded) {
  return "rozmiar pliku (" + std::to_string(actual) + " B) nie zgadza sie z zapisanym (" +
         std::to_string(recorded) + " B) - plik uciety albo dopisany";
}

std::string frame_bad_size(std::uint64_t index) { return join("ramka ", index, " ma niedozwolony rozmiar"); }
std::string frame_out_of_place(std::uint64_t index) {
  return join("ramka ", index, " jest nie na swoim miejscu");
}
std::string frame_crc_mismatch(std::uint64_t index) {
  return join("suma CRC32C ramki ", index, " sie nie zgadza (uszkodzony nosnik?)");
}
std::string frame_decompression(std::uint64_t index) { return join("nie mozna rozpakowac ramki ", index, ""); }
std::string frame_bad_length(std::uint64_t index) { return join("ramka ", index, " ma zla dlugosc"); }
std::string filelist_parse(std::string_view parser_message) {
  return "spis plikow: " + std::string(parser_message);
}
std::string inconsistent_entry(std::string_view path) { return "niespojny wpis w spisie: " + std::string(path); }

std::string argon2_failure(std::string_view library_text) { return "Argon2id: " + std::string(library_text); }
std::string key_file_unreadable(std::string_view path, std::string_view system_text) {
  return "nie mozna odczytac pliku-klucza " + std::string(path) + ": " + std::string(system_text);
}
std::string random_generator_failure(std::uint32_t code) {
  return "Systemowy generator losowy zwrocil blad 0x" + hex8(code) + ".";
}
std::string fido2_failure(std::string_view message, std::uint32_t code) {
  return "klucz FIDO2: " + std::string(message) + " (0x" + hex8(code) + ")";
}
std::string fido2_credential_id_size(std::size_t bytes) {
  return join("identyfikator poswiadczenia ma ", bytes, " B");
}

std::string link_in_destination(std::string_view folder, std::string_view entry) {
  return "Rozpakowywanie przerwane: w folderze docelowym w miejscu folderu " + std::string(folder) +
         " jest dowiazanie (link symboliczny, punkt polaczenia lub inny punkt ponownej analizy), przez ktore zapis "
         "wpisu " +
         std::string(entry) + " moglby trafic poza folder docelowy.";
}

}  // namespace quarn::texts
