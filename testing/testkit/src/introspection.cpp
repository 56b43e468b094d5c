#include "introspection.hpp"

#include <cctype>
#include <stdexcept>
#include <utility>

namespace testkit
{

namespace
{

constexpr const char* emitsChanged =
    "org.freedesktop.DBus.Property.EmitsChangedSignal";

struct Element
{
    std::string name;
    std::map<std::string, std::string> attributes;
    std::vector<Element> children;

    std::string attribute(const std::string& key) const
    {
        auto it = attributes.find(key);
        return it == attributes.end() ? "" : it->second;
    }
};

/** Elements and attributes, nothing more: introspection data has no text
 *  that matters, no namespaces and no CDATA. */
class Reader
{
  public:
    explicit Reader(const std::string& text) : s(text) {}

    Element document()
    {
        skipMarkup();
        Element root = element();
        skipMarkup();
        if (pos != s.size())
        {
            fail("text after the root element");
        }
        return root;
    }

  private:
    [[noreturn]] void fail(const std::string& what) const
    {
        throw std::runtime_error("introspection XML at offset " +
                                 std::to_string(pos) + ": " + what);
    }

    bool startsWith(const char* prefix) const
    {
        return s.compare(pos, std::char_traits<char>::length(prefix), prefix) ==
               0;
    }

    void skipPast(const char* end)
    {
        auto at = s.find(end, pos);
        if (at == std::string::npos)
        {
            fail(std::string("no closing ") + end);
        }
        pos = at + std::char_traits<char>::length(end);
    }

    /** Text, comments, the XML declaration and the document type. */
    void skipMarkup()
    {
        while (pos < s.size())
        {
            if (s[pos] != '<')
            {
                ++pos;
            }
            else if (startsWith("<!--"))
            {
                skipPast("-->");
            }
            else if (startsWith("<?") || startsWith("<!"))
            {
                skipPast(">");
            }
            else
            {
                return;
            }
        }
    }

    void skipSpace()
    {
        while (pos < s.size() &&
               std::isspace(static_cast<unsigned char>(s[pos])))
        {
            ++pos;
        }
    }

    std::string name()
    {
        size_t start = pos;
        while (pos < s.size() &&
               (std::isalnum(static_cast<unsigned char>(s[pos])) ||
                s[pos] == '_' || s[pos] == '-' || s[pos] == '.' ||
                s[pos] == ':'))
        {
            ++pos;
        }
        if (pos == start)
        {
            fail("a name expected");
        }
        return s.substr(start, pos - start);
    }

    static std::string unescape(const std::string& raw)
    {
        static const std::pair<const char*, char> entities[] = {
            {"&lt;", '<'},
            {"&gt;", '>'},
            {"&quot;", '"'},
            {"&apos;", '\''},
            {"&amp;", '&'}};
        std::string out;
        for (size_t i = 0; i < raw.size();)
        {
            bool replaced = false;
            for (const auto& [entity, c] : entities)
            {
                if (raw.compare(i, std::char_traits<char>::length(entity),
                                entity) == 0)
                {
                    out += c;
                    i += std::char_traits<char>::length(entity);
                    replaced = true;
                    break;
                }
            }
            if (!replaced)
            {
                out += raw[i++];
            }
        }
        return out;
    }

    Element element()
    {
        if (pos >= s.size() || s[pos] != '<')
        {
            fail("an element expected");
        }
        ++pos;
        Element e;
        e.name = name();
        for (;;)
        {
            skipSpace();
            if (startsWith("/>"))
            {
                pos += 2;
                return e;
            }
            if (startsWith(">"))
            {
                ++pos;
                break;
            }
            std::string key = name();
            skipSpace();
            if (!startsWith("="))
            {
                fail("'=' expected after " + key);
            }
            ++pos;
            skipSpace();
            if (pos >= s.size() || (s[pos] != '"' && s[pos] != '\''))
            {
                fail("a quoted value expected for " + key);
            }
            char quote = s[pos++];
            auto end = s.find(quote, pos);
            if (end == std::string::npos)
            {
                fail("an unterminated value of " + key);
            }
            e.attributes[key] = unescape(s.substr(pos, end - pos));
            pos = end + 1;
        }
        for (;;)
        {
            skipMarkup();
            if (startsWith("</"))
            {
                pos += 2;
                if (name() != e.name)
                {
                    fail("the closing tag of " + e.name + " expected");
                }
                skipSpace();
                skipPast(">");
                return e;
            }
            if (pos >= s.size())
            {
                fail("the element " + e.name + " is not closed");
            }
            e.children.push_back(element());
        }
    }

    const std::string& s;
    size_t pos = 0;
};

std::string signature(const Element& member, const std::string& direction)
{
    std::string out;
    for (const auto& arg : member.children)
    {
        if (arg.name != "arg")
        {
            continue;
        }
        // A method's argument is "in" unless it says otherwise; a
        // signal's are all out.
        std::string dir = arg.attribute("direction");
        if (dir.empty())
        {
            dir = member.name == "signal" ? "out" : "in";
        }
        if (dir == direction)
        {
            out += arg.attribute("type");
        }
    }
    return out;
}

void addAnnotations(const Element& member, const std::string& prefix,
                    std::set<std::string>& lines)
{
    bool emits = false;
    for (const auto& a : member.children)
    {
        if (a.name == "annotation")
        {
            lines.insert(prefix + " @" + a.attribute("name") + "=" +
                         a.attribute("value"));
            emits = emits || a.attribute("name") == emitsChanged;
        }
    }
    if (member.name == "property" && !emits)
    {
        lines.insert(prefix + " @" + emitsChanged + "=true");
    }
}

std::set<std::string> interfaceLines(const Element& iface)
{
    std::set<std::string> lines;
    for (const auto& m : iface.children)
    {
        const std::string name = m.attribute("name");
        std::string line;
        if (m.name == "method")
        {
            line = "method " + name + " in(" + signature(m, "in") + ") out(" +
                   signature(m, "out") + ")";
            lines.insert(line);
            addAnnotations(m, "method " + name, lines);
        }
        else if (m.name == "signal")
        {
            lines.insert("signal " + name + "(" + signature(m, "out") + ")");
            addAnnotations(m, "signal " + name, lines);
        }
        else if (m.name == "property")
        {
            lines.insert("property " + name + " " + m.attribute("type") + " " +
                         m.attribute("access"));
            addAnnotations(m, "property " + name, lines);
        }
        else if (m.name == "annotation")
        {
            lines.insert("@" + name + "=" + m.attribute("value"));
        }
    }
    return lines;
}

InterfaceLines nodeInterfaces(const Element& node)
{
    InterfaceLines out;
    for (const auto& child : node.children)
    {
        if (child.name == "interface")
        {
            out[child.attribute("name")] = interfaceLines(child);
        }
    }
    return out;
}

} // namespace

IntrospectedNode parseIntrospection(const std::string& xml)
{
    Element root = Reader(xml).document();
    if (root.name != "node")
    {
        throw std::runtime_error("introspection XML: the root is <" +
                                 root.name + ">, not <node>");
    }
    IntrospectedNode node;
    node.interfaces = nodeInterfaces(root);
    for (const auto& child : root.children)
    {
        if (child.name == "node")
        {
            const std::string name = child.attribute("name");
            node.children.push_back(name);
            auto interfaces = nodeInterfaces(child);
            if (!interfaces.empty())
            {
                node.childInterfaces[name] = std::move(interfaces);
            }
        }
    }
    return node;
}

} // namespace testkit
