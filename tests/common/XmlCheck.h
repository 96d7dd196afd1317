// A small XML reader of its own, for checking files the plug-in writes
// without trusting the XML engine that wrote them. It reads the subset those
// files use (declaration, elements, attributes, text, the five entities and
// character references, comments, CDATA) and reports anything else as an error.
#pragma once

#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tessaran_test {

struct XmlNode {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;
    std::string text;  // character data directly inside, entities decoded, UTF-8
    std::vector<XmlNode> children;

    // The first child element of that name, or null.
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
    bool byteOrderMark = false;
    bool declaration = false;
    std::map<std::string, std::string> declarationData;  // version, encoding, ...
    XmlNode root;
};

namespace xml_detail {

class Reader {
public:
    explicit Reader(const std::string& bytes) : m_text(bytes) {}

    XmlDocument Parse() {
        XmlDocument document;
        if (m_text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
            document.byteOrderMark = true;
            m_pos = 3;
        }
        if (Starts("<?xml") && m_pos + 5 < m_text.size() && IsSpace(m_text[m_pos + 5])) {
            m_pos += 5;
            document.declaration = true;
            while (true) {
                SkipSpace();
                if (Starts("?>")) {
                    m_pos += 2;
                    break;
                }
                std::string name;
                std::string value;
                if (!Attribute(name, value)) return Fail(document, "bad declaration");
                document.declarationData[name] = value;
            }
        }
        if (!Misc()) return Fail(document, "bad prolog");
        if (!Starts("<")) return Fail(document, "no document element");
        if (!Element(document.root)) return Fail(document, m_error);
        if (!Misc()) return Fail(document, "bad trailer");
        if (m_pos != m_text.size()) return Fail(document, "content after the document element");
        document.ok = true;
        return document;
    }

private:
    static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
    static bool IsNameChar(char c) {
        return !IsSpace(c) && c != '/' && c != '>' && c != '=' && c != '<' && c != '"' && c != '\'' && c != '?';
    }
    bool Starts(const char* prefix) const {
        return m_text.compare(m_pos, std::char_traits<char>::length(prefix), prefix) == 0;
    }
    void SkipSpace() {
        while (m_pos < m_text.size() && IsSpace(m_text[m_pos])) ++m_pos;
    }
    XmlDocument& Fail(XmlDocument& document, const std::string& why) {
        document.ok = false;
        document.error = why + " at byte " + std::to_string(m_pos);
        return document;
    }
    bool Skip(const char* end) {
        const size_t found = m_text.find(end, m_pos);
        if (found == std::string::npos) return false;
        m_pos = found + std::char_traits<char>::length(end);
        return true;
    }
    // White space, comments and processing instructions outside the root.
    bool Misc() {
        while (true) {
            SkipSpace();
            if (Starts("<!--")) {
                if (!Skip("-->")) return false;
            } else if (Starts("<?")) {
                if (!Skip("?>")) return false;
            } else {
                return true;
            }
        }
    }
    std::string Name() {
        const size_t start = m_pos;
        while (m_pos < m_text.size() && IsNameChar(m_text[m_pos])) ++m_pos;
        return m_text.substr(start, m_pos - start);
    }
    bool Attribute(std::string& name, std::string& value) {
        name = Name();
        if (name.empty()) return false;
        SkipSpace();
        if (!Starts("=")) return false;
        ++m_pos;
        SkipSpace();
        if (m_pos >= m_text.size() || (m_text[m_pos] != '"' && m_text[m_pos] != '\'')) return false;
        const char quote = m_text[m_pos++];
        const size_t end = m_text.find(quote, m_pos);
        if (end == std::string::npos) return false;
        if (!Decode(m_text.substr(m_pos, end - m_pos), value)) return false;
        m_pos = end + 1;
        return true;
    }
    static void AppendUtf8(unsigned long code, std::string& out) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    static bool Decode(const std::string& raw, std::string& out) {
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
            if (entity == "lt") out += '<';
            else if (entity == "gt") out += '>';
            else if (entity == "amp") out += '&';
            else if (entity == "quot") out += '"';
            else if (entity == "apos") out += '\'';
            else if (entity.size() > 1 && entity[0] == '#') {
                const bool hex = entity[1] == 'x';
                char* stop = nullptr;
                const unsigned long code = std::strtoul(entity.c_str() + (hex ? 2 : 1), &stop, hex ? 16 : 10);
                if (!stop || *stop) return false;
                AppendUtf8(code, out);
            } else {
                return false;
            }
            i = end;
        }
        return true;
    }
    bool Element(XmlNode& node) {
        ++m_pos;  // '<'
        node.name = Name();
        if (node.name.empty()) return Error("element without a name");
        while (true) {
            SkipSpace();
            if (Starts("/>")) {
                m_pos += 2;
                return true;
            }
            if (Starts(">")) {
                ++m_pos;
                break;
            }
            std::pair<std::string, std::string> attribute;
            if (!Attribute(attribute.first, attribute.second)) return Error("bad attribute in " + node.name);
            node.attributes.push_back(attribute);
        }
        while (m_pos < m_text.size()) {
            if (Starts("</")) {
                m_pos += 2;
                if (Name() != node.name) return Error("end tag does not match " + node.name);
                SkipSpace();
                if (!Starts(">")) return Error("bad end tag of " + node.name);
                ++m_pos;
                return true;
            }
            if (Starts("<!--")) {
                if (!Skip("-->")) return Error("open comment");
            } else if (Starts("<![CDATA[")) {
                m_pos += 9;
                const size_t end = m_text.find("]]>", m_pos);
                if (end == std::string::npos) return Error("open CDATA");
                node.text += m_text.substr(m_pos, end - m_pos);
                m_pos = end + 3;
            } else if (Starts("<?")) {
                if (!Skip("?>")) return Error("open processing instruction");
            } else if (Starts("<")) {
                node.children.emplace_back();
                if (!Element(node.children.back())) return false;
            } else {
                const size_t end = m_text.find('<', m_pos);
                if (end == std::string::npos) return Error("text after the last tag");
                std::string decoded;
                if (!Decode(m_text.substr(m_pos, end - m_pos), decoded)) return Error("bad text in " + node.name);
                node.text += decoded;
                m_pos = end;
            }
        }
        return Error("element " + node.name + " not closed");
    }
    bool Error(const std::string& why) {
        if (m_error.empty()) m_error = why;
        return false;
    }

    const std::string& m_text;
    size_t m_pos = 0;
    std::string m_error;
};

}  // namespace xml_detail

inline XmlDocument ParseXml(const std::string& bytes) { return xml_detail::Reader(bytes).Parse(); }

// Text without the white space around it (indentation between elements).
inline std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace tessaran_test
