// Which reparse points are links. Windows marks symbolic links and junctions
// (mount points) with a reparse point, and also files that are no links at all:
// cloud placeholders, deduplicated files, and others. Those are plain files and
// directories to the store, so the Windows backend reports kFileAttrReparsePoint
// only for a link, decided from the entry's reparse tag: a Microsoft tag counts as
// a link when it marks a name surrogate (the entry stands for another name:
// symbolic links, junctions, other systems' symbolic links); every other tag (0
// when it could not be read, Wine's listings give 1) counts as a link too, so
// that the store refuses what it does not know rather than follows it.
#pragma once

#include <cstdint>

#include "platform/file.h"

namespace platform {

enum : std::uint32_t {
    kReparseTagMicrosoft = 0x80000000u,      // the tag is one of Microsoft's
    kReparseTagNameSurrogate = 0x20000000u,  // the entry stands for another name
};

inline bool ReparseTagIsLink(std::uint32_t nTag)
{
    return (nTag & kReparseTagMicrosoft) == 0 || (nTag & kReparseTagNameSurrogate) != 0;
}

// The attributes to report for an entry with these Win32 attributes and this
// reparse tag (ignored unless kFileAttrReparsePoint is set).
inline unsigned LinkAttributes(unsigned nAttributes, std::uint32_t nTag)
{
    if ((nAttributes & kFileAttrReparsePoint) != 0 && !ReparseTagIsLink(nTag))
        nAttributes &= ~static_cast<unsigned>(kFileAttrReparsePoint);
    return nAttributes;
}

}  // namespace platform
