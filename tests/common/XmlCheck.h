// A small XML reader of the tests' own, for checking files the plug-in writes
// without trusting the engine that wrote them. It reads what those files use
// (declaration, comments and processing instructions before the document
// element, elements, attributes, text with entity and character references)
// and reports anything else as an error.
#pragma once

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tessaran_test {

struct XmlNode {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;
    std::string text;  // character data directly inside, decoded, UTF-8
    std::vector<XmlNode> children;

    const XmlNode* Child(const std::string& childName) const {
        for (const XmlNode& child : children) {
            if (child.name == childName) return &child;
        }
        return nullptr;
    }
    std::vector<std::string> ChildNames() const {
        std::vector<std::string> names;
        for (const XmlNode& child : children) names.push_back(child.name);
        return names;
    }
};

struct XmlDocument {
    bool ok = false;
    std::string error;
    std::map<std::string, std::string> declaration;  // version, encoding; empty without one
    std::vector<std::string> prolog;  // comments and processing instructions after it, as written
    XmlNode root;
};

class XmlReader {
public:
    explicit XmlReader(const std::string& bytes) : m_text(bytes) {}

    XmlDocument Parse() {
        XmlDocument document;
        if (m_text.compare(0, 3, "\xEF\xBB\xBF") == 0) m_pos = 3;
        if (Starts("<?xml ")) {
            m_pos += 6;
            for (SkipSpace(); !Starts("?>"); SkipSpace()) {
                std::pair<std::string, std::string> entry;
                if (!Attribute(entry)) return Fail(document, "bad declaration");
                document.declaration.insert(entry);
            }
            m_pos += 2;
        }
        for (SkipSpace(); Starts("<!--") || Starts("<?"); SkipSpace()) {
            const char* end = Starts("<?") ? "?>" : "-->";
            const size_t stop = m_text.find(end, m_pos + 2);
            if (Starts("<?xml ") || stop == std::string::npos) return Fail(document, "bad prolog");
            const size_t next = stop + std::char_traits<char>::length(end);
            document.prolog.push_back(m_text.substr(m_pos, next - m_pos));
            m_pos = next;
        }
        if (!Starts("<") || !Element(document.root)) return Fail(document, "bad document element");
        SkipSpace();
        if (m_pos != m_text.size()) return Fail(document, "content after the document element");
        document.ok = true;
        return document;
    }

private:
    static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
    static bool IsNameChar(char c) { return !IsSpace(c) && std::strchr("/>=<\"'?", c) == nullptr; }
    bool Starts(const char* prefix) const {
        return m_text.compare(m_pos, std::char_traits<char>::length(prefix), prefix) == 0;
    }
    void SkipSpace() {
        while (m_pos < m_text.size() && IsSpace(m_text[m_pos])) ++m_pos;
    }
    XmlDocument& Fail(XmlDocument& document, const std::string& why) {
        document.error = why + " at byte " + std::to_string(m_pos);
        return document;
    }
    std::string Name() {
        const size_t start = m_pos;
        while (m_pos < m_text.size() && IsNameChar(m_text[m_pos])) ++m_pos;
        return m_text.substr(start, m_pos - start);
    }
    bool Attribute(std::pair<std::string, std::string>& attribute) {
        attribute.first = Name();
        if (attribute.first.empty() || !Starts("=") || ++m_pos >= m_text.size()) return false;
        const char quote = m_text[m_pos++];
        const size_t end = m_text.find(quote, m_pos);
        if ((quote != '"' && quote != '\'') || end == std::string::npos) return false;
        if (!Decode(m_text.substr(m_pos, end - m_pos), attribute.second)) return false;
        m_pos = end + 1;
        return true;
    }
    static bool Decode(const std::string& raw, std::string& out) {
        static const std::map<std::string, std::string> kEntities = {
            {"lt", "<"}, {"gt", ">"}, {"amp", "&"}, {"quot", "\""}, {"apos", "'"}};
        out.clear();
        for (size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == '<') return false;
            if (raw[i] != '&') {
                out += raw[i];
                continue;
            }
            const size_t end = raw.find(';', i);
            if (end == std::string::npos) return false;
            const std::string entity = raw.substr(i + 1, end - i - 1);
            i = end;
            if (kEntities.count(entity)) {
                out += kEntities.at(entity);
            } else if (entity.size() > 1 && entity[0] == '#') {
                const bool hex = entity[1] == 'x';
                char* stop = nullptr;
                const unsigned long code = std::strtoul(entity.c_str() + (hex ? 2 : 1), &stop, hex ? 16 : 10);
                if (*stop || code >= 0x80) return false;  // the files hold other characters as UTF-8
                out += static_cast<char>(code);
            } else {
                return false;
            }
        }
        return true;
    }
    bool Element(XmlNode& node) {
        ++m_pos;
        node.name = Name();
        if (node.name.empty()) return false;
        for (SkipSpace(); !Starts(">"); SkipSpace()) {
            if (Starts("/>")) {
                m_pos += 2;
                return true;
            }
            node.attributes.emplace_back();
            if (!Attribute(node.attributes.back())) return false;
        }
        ++m_pos;
        while (m_pos < m_text.size()) {
            if (Starts("</")) {
                m_pos += 2;
                if (Name() != node.name || !Starts(">")) return false;
                ++m_pos;
                return true;
            }
            if (Starts("<")) {
                node.children.emplace_back();
                if (!Element(node.children.back())) return false;
                continue;
            }
            const size_t end = m_text.find('<', m_pos);
            std::string decoded;
            if (end == std::string::npos || !Decode(m_text.substr(m_pos, end - m_pos), decoded)) return false;
            node.text += decoded;
            m_pos = end;
        }
        return false;
    }

    const std::string& m_text;
    size_t m_pos = 0;
};

inline XmlDocument ParseXml(const std::string& bytes) { return XmlReader(bytes).Parse(); }

// Text without the white space around it (indentation between elements).
inline std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace tessaran_test
