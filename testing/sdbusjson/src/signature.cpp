#include "sdbusjson/signature.hpp"

#include <stdexcept>

namespace sdbusjson::signature
{

namespace
{

constexpr size_t maxLength = 255;
constexpr unsigned maxDepth = 32;

class Parser
{
  public:
    explicit Parser(std::string_view sig) : sig(sig) {}

    /** Returns the end of the complete type that starts at pos. */
    size_t completeType(size_t pos, unsigned arrays, unsigned structs)
    {
        if (pos >= sig.size())
        {
            fail("incomplete type");
        }
        char c = sig[pos];
        if (isBasic(c) || c == 'v')
        {
            return pos + 1;
        }
        if (c == 'a')
        {
            if (++arrays > maxDepth)
            {
                fail("arrays nested too deeply");
            }
            if (pos + 1 < sig.size() && sig[pos + 1] == '{')
            {
                return dictEntry(pos + 1, arrays, structs);
            }
            return completeType(pos + 1, arrays, structs);
        }
        if (c == '(')
        {
            if (++structs > maxDepth)
            {
                fail("structures nested too deeply");
            }
            size_t p = pos + 1;
            if (p < sig.size() && sig[p] == ')')
            {
                fail("empty structure");
            }
            while (p < sig.size() && sig[p] != ')')
            {
                p = completeType(p, arrays, structs);
            }
            if (p >= sig.size())
            {
                fail("unterminated structure");
            }
            return p + 1;
        }
        if (c == '{')
        {
            fail("dictionary entry outside an array");
        }
        fail(std::string("unknown type code '") + c + "'");
    }

  private:
    size_t dictEntry(size_t pos, unsigned arrays, unsigned structs)
    {
        // pos is at '{'
        if (++structs > maxDepth)
        {
            fail("structures nested too deeply");
        }
        size_t p = pos + 1;
        if (p >= sig.size() || !isBasic(sig[p]))
        {
            fail("dictionary key must be a basic type");
        }
        p = completeType(p + 1, arrays, structs);
        if (p >= sig.size() || sig[p] != '}')
        {
            fail("dictionary entry must have exactly a key and a value");
        }
        return p + 1;
    }

    [[noreturn]] void fail(const std::string& why) const
    {
        throw std::invalid_argument("invalid signature \"" + std::string(sig) +
                                    "\": " + why);
    }

    std::string_view sig;
};

} // namespace

bool isBasic(char code)
{
    switch (code)
    {
        case 'y':
        case 'b':
        case 'n':
        case 'q':
        case 'i':
        case 'u':
        case 'x':
        case 't':
        case 'd':
        case 's':
        case 'o':
        case 'g':
        case 'h':
            return true;
        default:
            return false;
    }
}

std::vector<std::string> split(std::string_view sig)
{
    if (sig.size() > maxLength)
    {
        throw std::invalid_argument("invalid signature: longer than 255");
    }
    Parser parser(sig);
    std::vector<std::string> types;
    size_t pos = 0;
    while (pos < sig.size())
    {
        size_t end = parser.completeType(pos, 0, 0);
        types.emplace_back(sig.substr(pos, end - pos));
        pos = end;
    }
    return types;
}

bool isValid(std::string_view sig)
{
    try
    {
        split(sig);
        return true;
    }
    catch (const std::invalid_argument&)
    {
        return false;
    }
}

bool isSingleType(std::string_view sig)
{
    try
    {
        return split(sig).size() == 1;
    }
    catch (const std::invalid_argument&)
    {
        return false;
    }
}

} // namespace sdbusjson::signature
