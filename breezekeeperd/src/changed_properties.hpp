#pragma once

// Reading the changed properties of a PropertiesChanged signal one by one,
// so that a reader takes each property only in the type it expects.

#include "bmcmon/property_decode.hpp"
#include "sdbus/message.hpp"

#include <string>

namespace bmcmon
{

/** Whether a variant's contents signature is a number (or a boolean, which
 *  counts as 0 or 1). */
inline bool isNumberSignature(const std::string& contents)
{
    return contents.size() == 1 &&
           std::string("dyqnuixtb").find(contents[0]) != std::string::npos;
}

/** Walks the changed-properties map that comes next in `m`: for each entry
 *  calls f(name, contents) with `m` at the entry's variant. f reads the
 *  variant (readVariant) and returns true, or returns false to have it
 *  skipped. Throws sdbus::SdBusError when the body is not a map of
 *  variants. */
template <typename F>
void forEachChanged(sdbus::Message& m, F&& f)
{
    forEachProperty(
        m, [&m, &f](const std::string& name, const std::string& contents) {
            if (!f(name, contents))
            {
                m.skip("v");
            }
        });
}

} // namespace bmcmon
