// Registry files in the text format of Windows CE platform files:
//
//   ; a comment, to the end of the line (not inside a string)
//   [HKEY_LOCAL_MACHINE\Drivers\BuiltIn\MUX1]
//   "Prefix"="MUX"                  string: \\ and \" are the only escapes
//   "Index"=dword:1                 32-bit, 1 to 8 hex digits
//   "Data"=hex:01,02,ff             binary; hex(N): gives type N
//   "IClass"=multi_sz:"a","b"       string list
//   @="x"                           the key's default (unnamed) value
//   "Long"=hex:01,02,\              a backslash ending a line continues it
//          03,04
//
// The file is UTF-8 (with or without a byte order mark) or UTF-16LE with a
// byte order mark. Nothing is written to the registry until the whole file
// has been read without error.
#include "platform/devmgr/devmgr.h"

#include "platform/host.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

namespace plat {
namespace {

struct ValueOp {
    std::u16string name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct KeyOp {
    std::u16string path;  // below HKEY_LOCAL_MACHINE
    std::vector<ValueOp> values;
};

struct Failure {
    int line;
    std::string what;
};

// Physical lines joined at trailing backslashes, comments removed; every
// character remembers its physical line for error messages.
struct LogicalLine {
    std::string text;
    std::vector<int> lineOf;
    int LineAt(size_t pos) const
    {
        return lineOf.empty() ? 0 : lineOf[std::min(pos, lineOf.size() - 1)];
    }
};

std::string Decode(const std::string& raw)
{
    if (raw.size() >= 2 && (unsigned char)raw[0] == 0xFF && (unsigned char)raw[1] == 0xFE) {
        std::u16string wide;
        for (size_t i = 2; i + 1 < raw.size(); i += 2)
            wide += (char16_t)((unsigned char)raw[i] | ((unsigned char)raw[i + 1] << 8));
        return ToUtf8(wide);
    }
    if (raw.compare(0, 3, "\xEF\xBB\xBF") == 0) return raw.substr(3);
    return raw;
}

// Cuts a physical line at a comment outside strings; *open tells whether a
// string is still open at the end (the value parser reports it).
std::string StripComment(const std::string& line, bool* open)
{
    bool inString = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (inString && c == '\\' && i + 1 < line.size()) {
            ++i;
        } else if (c == '"') {
            inString = !inString;
        } else if (c == ';' && !inString) {
            *open = false;
            return line.substr(0, i);
        }
    }
    *open = inString;
    return line;
}

std::string TrimRight(const std::string& s)
{
    size_t end = s.find_last_not_of(" \t\r");
    return end == std::string::npos ? std::string() : s.substr(0, end + 1);
}

std::vector<LogicalLine> SplitLines(const std::string& text)
{
    std::vector<LogicalLine> lines;
    std::istringstream in(text);
    std::string physical;
    LogicalLine cur;
    bool continuing = false;
    int number = 0;
    while (std::getline(in, physical)) {
        ++number;
        bool open = false;
        std::string part = TrimRight(StripComment(physical, &open));
        if (continuing) part.erase(0, std::min(part.size(), part.find_first_not_of(" \t")));
        continuing = !open && !part.empty() && part.back() == '\\';
        if (continuing) part.pop_back();
        cur.text += part;
        cur.lineOf.insert(cur.lineOf.end(), part.size() + 1, number);  // +1: the end
        if (continuing) {
            cur.lineOf.pop_back();
            continue;
        }
        lines.push_back(cur);
        cur = LogicalLine();
    }
    if (continuing) lines.push_back(cur);
    return lines;
}

bool StartsWithNoCase(const std::string& s, size_t pos, const char* word)
{
    for (size_t i = 0; word[i]; ++i) {
        if (pos + i >= s.size()) return false;
        char c = s[pos + i];
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
        if (c != word[i]) return false;
    }
    return true;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Parses one logical line's value part; `pos` moves along the text.
class ValueParser {
public:
    explicit ValueParser(const LogicalLine& line) : line_(line), s_(line.text) {}

    bool Parse(ValueOp* op, Failure* fail)
    {
        fail_ = fail;
        pos_ = s_.find_first_not_of(" \t");
        std::string name;
        if (s_[pos_] == '@') {
            ++pos_;
        } else if (!QuotedString(&name)) {
            return false;
        }
        op->name = FromUtf8(name);
        SkipSpace();
        if (pos_ >= s_.size() || s_[pos_] != '=') return Error("'=' expected after the value name");
        ++pos_;
        SkipSpace();
        if (!Data(op)) return false;
        SkipSpace();
        if (pos_ < s_.size()) return Error("unexpected text after the value: " + s_.substr(pos_));
        return true;
    }

private:
    bool Error(const std::string& what)
    {
        *fail_ = Failure{line_.LineAt(pos_), what};
        return false;
    }

    void SkipSpace()
    {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t')) ++pos_;
    }

    bool QuotedString(std::string* out)
    {
        if (pos_ >= s_.size() || s_[pos_] != '"') return Error("'\"' expected");
        const size_t start = pos_++;
        while (pos_ < s_.size() && s_[pos_] != '"') {
            if (s_[pos_] == '\\') {
                ++pos_;
                if (pos_ >= s_.size()) break;
                if (s_[pos_] != '\\' && s_[pos_] != '"')
                    return Error(std::string("unknown escape \\") + s_[pos_] + " in a string");
            }
            *out += s_[pos_++];
        }
        if (pos_ >= s_.size()) {
            pos_ = start;
            return Error("unterminated string");
        }
        ++pos_;
        return true;
    }

    static void AppendWide(const std::string& utf8, std::vector<BYTE>* data)
    {
        for (char16_t c : FromUtf8(utf8)) {
            data->push_back((BYTE)(c & 0xFF));
            data->push_back((BYTE)(c >> 8));
        }
        data->push_back(0);
        data->push_back(0);
    }

    bool Data(ValueOp* op)
    {
        if (pos_ >= s_.size()) return Error("a value expected after '='");
        if (s_[pos_] == '"') {
            std::string text;
            if (!QuotedString(&text)) return false;
            op->type = REG_SZ;
            AppendWide(text, &op->data);
            return true;
        }
        if (StartsWithNoCase(s_, pos_, "dword:")) {
            pos_ += 6;
            return Dword(op);
        }
        if (StartsWithNoCase(s_, pos_, "hex:")) {
            pos_ += 4;
            op->type = REG_BINARY;
            return HexBytes(op);
        }
        if (StartsWithNoCase(s_, pos_, "hex(")) return TypedHex(op);
        if (StartsWithNoCase(s_, pos_, "multi_sz:")) {
            pos_ += 9;
            return MultiSz(op);
        }
        if (s_[pos_] == '-') return Error("deleting a value is not supported");
        const size_t colon = s_.find(':', pos_);
        return Error("unknown value type '" + s_.substr(pos_, colon == std::string::npos
                                                                   ? std::string::npos
                                                                   : colon - pos_ + 1) +
                     "'");
    }

    bool Dword(ValueOp* op)
    {
        const size_t start = pos_;
        uint64_t v = 0;
        while (pos_ < s_.size() && HexDigit(s_[pos_]) >= 0) v = v * 16 + HexDigit(s_[pos_++]);
        const size_t digits = pos_ - start;
        if (digits == 0 || digits > 8) {
            pos_ = start;
            return Error("bad dword: 1 to 8 hex digits expected");
        }
        op->type = REG_DWORD;
        for (int i = 0; i < 4; ++i) op->data.push_back((BYTE)(v >> (8 * i)));
        return true;
    }

    bool HexBytes(ValueOp* op)
    {
        SkipSpace();
        if (pos_ >= s_.size()) return true;  // hex: with no bytes
        for (;;) {
            SkipSpace();
            const size_t start = pos_;
            int v = 0;
            while (pos_ < s_.size() && HexDigit(s_[pos_]) >= 0 && pos_ - start < 3)
                v = v * 16 + HexDigit(s_[pos_++]);
            if (pos_ == start || pos_ - start > 2) {
                pos_ = start;
                return Error("bad hex byte");
            }
            op->data.push_back((BYTE)v);
            SkipSpace();
            if (pos_ >= s_.size()) return true;
            if (s_[pos_] != ',') return Error("bad hex byte");
            ++pos_;
        }
    }

    bool TypedHex(ValueOp* op)
    {
        pos_ += 4;
        const size_t close = s_.find("):", pos_);
        uint64_t type = 0;
        size_t p = pos_;
        while (p < close && p < s_.size() && HexDigit(s_[p]) >= 0) type = type * 16 + HexDigit(s_[p++]);
        if (close == std::string::npos || p != close || p == pos_ || close - pos_ > 8)
            return Error("bad hex(N): type");
        pos_ = close + 2;
        op->type = (DWORD)type;
        return HexBytes(op);
    }

    bool MultiSz(ValueOp* op)
    {
        op->type = REG_MULTI_SZ;
        SkipSpace();
        while (pos_ < s_.size()) {
            std::string item;
            if (!QuotedString(&item)) return false;
            AppendWide(item, &op->data);
            SkipSpace();
            if (pos_ >= s_.size()) break;
            if (s_[pos_] != ',') return Error("',' expected between the strings of a multi_sz");
            ++pos_;
            SkipSpace();
        }
        op->data.push_back(0);  // the list's own terminator
        op->data.push_back(0);
        return true;
    }

    const LogicalLine& line_;
    const std::string& s_;
    size_t pos_ = 0;
    Failure* fail_ = nullptr;
};

// "[HKEY_LOCAL_MACHINE\path]" → path.
bool ParseKey(const LogicalLine& line, std::u16string* path, Failure* fail)
{
    const std::string s = line.text.substr(line.text.find_first_not_of(" \t"));
    const int at = line.LineAt(0);
    if (s.back() != ']') {
        *fail = Failure{at, "']' expected at the end of the key"};
        return false;
    }
    const std::string inner = s.substr(1, s.size() - 2);
    if (!inner.empty() && inner[0] == '-') {
        *fail = Failure{at, "deleting a key is not supported"};
        return false;
    }
    const size_t slash = inner.find('\\');
    const std::string root = inner.substr(0, slash);
    if (!StartsWithNoCase(root, 0, "hkey_local_machine") || root.size() != 18) {
        *fail = Failure{at, "only keys under HKEY_LOCAL_MACHINE can be loaded: " + root};
        return false;
    }
    if (slash == std::string::npos || inner.find_first_not_of('\\', slash) == std::string::npos) {
        *fail = Failure{at, "a key below HKEY_LOCAL_MACHINE expected"};
        return false;
    }
    *path = FromUtf8(inner.substr(slash + 1));
    return true;
}

bool Parse(const std::string& text, std::vector<KeyOp>* keys, Failure* fail)
{
    bool header = true;  // a "REGEDIT4" line may come first
    for (const LogicalLine& line : SplitLines(Decode(text))) {
        const size_t first = line.text.find_first_not_of(" \t");
        if (first == std::string::npos) continue;
        const char c = line.text[first];
        const std::string trimmed = TrimRight(line.text.substr(first));
        if (header && (trimmed == "REGEDIT4" ||
                       trimmed == "Windows Registry Editor Version 5.00")) {
            header = false;
            continue;
        }
        header = false;
        if (c == '[') {
            keys->push_back(KeyOp());
            if (!ParseKey(line, &keys->back().path, fail)) return false;
        } else if (c == '"' || c == '@') {
            if (keys->empty()) {
                *fail = Failure{line.LineAt(first), "a value outside any key"};
                return false;
            }
            keys->back().values.push_back(ValueOp());
            if (!ValueParser(line).Parse(&keys->back().values.back(), fail)) return false;
        } else {
            *fail = Failure{line.LineAt(first), "neither a key nor a value: " + trimmed};
            return false;
        }
    }
    return true;
}

bool Apply(const std::vector<KeyOp>& keys, std::string* failedKey)
{
    for (const KeyOp& k : keys) {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, k.path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr) != ERROR_SUCCESS) {
            *failedKey = ToUtf8(k.path);
            return false;
        }
        for (const ValueOp& v : k.values)
            RegSetValueExW(key, v.name.c_str(), 0, v.type, v.data.data(), (DWORD)v.data.size());
        RegCloseKey(key);
    }
    return true;
}

}  // namespace

bool LoadRegText(const std::string& text, const std::string& name, std::string* error)
{
    std::vector<KeyOp> keys;
    Failure fail{0, std::string()};
    if (!Parse(text, &keys, &fail)) {
        if (error) *error = name + ":" + std::to_string(fail.line) + ": " + fail.what;
        return false;
    }
    std::string failedKey;
    if (!Apply(keys, &failedKey)) {
        if (error) *error = name + ": the key " + failedKey + " cannot be written";
        return false;
    }
    return true;
}

bool LoadRegFile(const std::string& path, std::string* error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = path + ": cannot be opened";
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return LoadRegText(text.str(), path, error);
}

}  // namespace plat
