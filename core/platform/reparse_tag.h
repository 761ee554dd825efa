// Which Windows reparse points are links. A pure function, so both builds
// test it; the Win32 implementation asks it wherever it meets one.
#pragma once

#include <cstdint>

namespace quarn::platform {

// A symbolic link, a junction or any other reparse point that names another
// place (a name surrogate, bit 29 of the tag) is a link: never followed,
// refused where a folder is entered. Any other tag marks a file or folder
// whose data a filter keeps elsewhere (cloud-storage placeholders,
// deduplicated or compressed files), which is used as what it is. A tag that
// could not be read (0) counts as a link.
constexpr bool is_link_reparse_tag(std::uint32_t tag) { return tag == 0 || (tag & 0x20000000u) != 0; }

}  // namespace quarn::platform
