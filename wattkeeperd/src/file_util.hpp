#pragma once

#include <string>

namespace bmcmon
{

/** Replaces the file at `path` with `data` so that a crash or a power cut at
 *  any moment leaves either the old file or the new one, never a mix: the
 *  data goes to "<path>.tmp", is flushed to the storage, and is renamed over
 *  the file. False (and no change to the file) when any step fails or the
 *  path is empty. */
bool writeFileAtomically(const std::string& path, const std::string& data);

} // namespace bmcmon
