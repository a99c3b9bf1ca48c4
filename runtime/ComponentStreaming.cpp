#include "runtime/ComponentStreaming.h"

#include <cctype>
#include <vector>

#include "runtime/Stream.h"

namespace tw {
namespace {

constexpr size_t kBytesPerLine = 32;

bool IsIdentifier(const std::string& s) {
  if (s.empty() || std::isdigit(static_cast<unsigned char>(s[0]))) return false;
  for (unsigned char c : s) {
    if (!std::isalnum(c) && c != '_') return false;
  }
  return true;
}

bool IsPlain(const std::string& v) {
  if (v.empty() || v.front() == ' ' || v.back() == ' ') return false;
  if (v.front() == '\'' || v.front() == '#' || v.front() == '{') return false;
  for (unsigned char c : v) {
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

std::string Quote(const std::string& v) {
  std::string out;
  bool inQuotes = false;
  for (unsigned char c : v) {
    if (c < 0x20 || c == 0x7F) {
      if (inQuotes) out += '\'';
      inQuotes = false;
      out += '#' + std::to_string(c);
    } else {
      if (!inQuotes) out += '\'';
      inQuotes = true;
      out += static_cast<char>(c);
      if (c == '\'') out += '\'';
    }
  }
  if (inQuotes) out += '\'';
  return out.empty() ? "''" : out;
}

std::string ValueText(const std::string& v) { return IsPlain(v) ? v : Quote(v); }

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

// Reads the text form line by line, keeping the line number for messages.
class Reader {
 public:
  Reader(const std::string& text, TComponent& component) : text_(text), component_(component) {}

  // Parses one object; returns the number of bytes it took.
  size_t Read() {
    std::string line;
    do {
      if (!NextLine(line)) Fail("the text holds no object");
    } while (line.empty());
    ReadHeader(line);

    std::vector<TPublishedProperty> published;
    component_.GetPublishedProperties(published);
    std::vector<TBinaryProperty> binary;
    component_.DefineProperties(binary);

    for (;;) {
      if (!NextLine(line)) Fail("\"end\" is missing");
      if (line.empty()) continue;
      if (line == "end") return pos_;
      if (line.rfind("object ", 0) == 0) Fail("nested objects are not read");
      const size_t eq = line.find('=');
      if (eq == std::string::npos) Fail("\"NAME = VALUE\" expected, found \"" + line + "\"");
      const std::string name = Trim(line.substr(0, eq));
      const std::string value = Trim(line.substr(eq + 1));
      if (value == "{") {
        ReadBinary(name, binary);
      } else {
        SetPublished(name, value, published);
      }
    }
  }

 private:
  [[noreturn]] void Fail(const std::string& what) {
    throw EComponentReadError("Cannot read " + std::string(component_.ClassName()) + " (line " +
                              std::to_string(lineNumber_) + "): " + what);
  }

  // The next line without its end and surrounding blanks; false at the end.
  bool NextLine(std::string& line) {
    if (pos_ >= text_.size()) return false;
    size_t end = text_.find('\n', pos_);
    if (end == std::string::npos) end = text_.size();
    line = text_.substr(pos_, end - pos_);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    line = Trim(line);
    pos_ = end < text_.size() ? end + 1 : end;
    ++lineNumber_;
    return true;
  }

  void ReadHeader(const std::string& line) {
    if (line.rfind("object ", 0) != 0) Fail("\"object\" expected, found \"" + line + "\"");
    std::string rest = Trim(line.substr(7));
    std::string name, className;
    if (!rest.empty() && rest[0] == '\'') {
      size_t used = 0;
      name = Unquote(rest, used);
      rest = Trim(rest.substr(used));
      if (rest.empty() || rest[0] != ':') Fail("\":\" expected after the object's name");
      className = Trim(rest.substr(1));
    } else {
      const size_t colon = rest.find(':');
      if (colon == std::string::npos) {
        className = rest;
      } else {
        name = Trim(rest.substr(0, colon));
        className = Trim(rest.substr(colon + 1));
      }
    }
    if (className != component_.ClassName()) {
      Fail("the text holds a " + (className.empty() ? std::string("nameless class") : className) +
           ", not a " + component_.ClassName());
    }
    component_.SetName(name);
  }

  void SetPublished(const std::string& name, const std::string& raw,
                    const std::vector<TPublishedProperty>& published) {
    for (const TPublishedProperty& p : published) {
      if (p.Name != name) continue;
      std::string value = raw;
      if (!raw.empty() && (raw[0] == '\'' || raw[0] == '#')) {
        size_t used = 0;
        value = Unquote(raw, used);
        if (used != raw.size()) Fail("unexpected text after the value of " + name);
      }
      try {
        p.Set(value);
      } catch (const std::exception& e) {
        Fail("invalid value \"" + value + "\" for property " + name + ": " + e.what());
      }
      return;
    }
    Fail("unknown property \"" + name + "\"");
  }

  void ReadBinary(const std::string& name, const std::vector<TBinaryProperty>& binary) {
    const TBinaryProperty* target = nullptr;
    for (const TBinaryProperty& p : binary) {
      if (p.Name == name) target = &p;
    }
    if (target == nullptr) Fail("unknown binary property \"" + name + "\"");
    TMemoryStream bytes;
    std::string line;
    for (;;) {
      if (!NextLine(line)) Fail("\"}\" is missing after the data of " + name);
      if (line == "}") break;
      std::vector<uint8_t> decoded;
      decoded.reserve(line.size() / 2);
      if (line.size() % 2 != 0) Fail("odd number of hexadecimal digits in " + name);
      for (size_t i = 0; i < line.size(); i += 2) {
        const int hi = HexDigit(line[i]), lo = HexDigit(line[i + 1]);
        if (hi < 0 || lo < 0) Fail("\"" + line + "\" is not hexadecimal data of " + name);
        decoded.push_back(static_cast<uint8_t>(hi * 16 + lo));
      }
      bytes.WriteBuffer(decoded.data(), static_cast<int64_t>(decoded.size()));
    }
    bytes.SetPosition(0);
    try {
      target->Read(bytes);
    } catch (const std::exception& e) {
      Fail("the data of " + name + " was refused: " + e.what());
    }
  }

  static int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  }

  // Decodes a quoted value starting at s[0]; `used` is how much it took.
  std::string Unquote(const std::string& s, size_t& used) {
    std::string out;
    size_t i = 0;
    while (i < s.size()) {
      if (s[i] == '\'') {
        ++i;
        for (;;) {
          if (i >= s.size()) Fail("a quoted value is not closed");
          if (s[i] == '\'') {
            if (i + 1 < s.size() && s[i + 1] == '\'') {
              out += '\'';
              i += 2;
              continue;
            }
            ++i;
            break;
          }
          out += s[i++];
        }
      } else if (s[i] == '#') {
        size_t j = i + 1;
        int code = 0;
        while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j])) && code < 256) {
          code = code * 10 + (s[j++] - '0');
        }
        if (j == i + 1 || code > 255) Fail("\"#\" must be followed by a character code 0-255");
        out += static_cast<char>(code);
        i = j;
      } else {
        break;
      }
    }
    used = i;
    return out;
  }

  const std::string& text_;
  TComponent& component_;
  size_t pos_ = 0;
  int lineNumber_ = 0;
};

}  // namespace

std::string ComponentToText(TComponent& Component) {
  std::string out = "object ";
  const std::string& name = Component.Name();
  if (!name.empty()) out += (IsIdentifier(name) ? name : Quote(name)) + ": ";
  out += Component.ClassName();
  out += '\n';

  std::vector<TPublishedProperty> published;
  Component.GetPublishedProperties(published);
  for (const TPublishedProperty& p : published) {
    if (p.Name == "Name" || !p.Stored()) continue;
    out += "  " + p.Name + " = " + ValueText(p.Get()) + '\n';
  }

  std::vector<TBinaryProperty> binary;
  Component.DefineProperties(binary);
  static const char digits[] = "0123456789ABCDEF";
  for (const TBinaryProperty& p : binary) {
    if (!p.HasData()) continue;
    TMemoryStream bytes;
    p.Write(bytes);
    out += "  " + p.Name + " = {\n";
    const auto* data = static_cast<const uint8_t*>(bytes.Memory());
    const size_t size = static_cast<size_t>(bytes.Size());
    for (size_t i = 0; i < size; i += kBytesPerLine) {
      out += "    ";
      for (size_t j = i; j < size && j < i + kBytesPerLine; ++j) {
        out += digits[data[j] >> 4];
        out += digits[data[j] & 15];
      }
      out += '\n';
    }
    out += "  }\n";
  }
  out += "end\n";
  return out;
}

void ComponentFromText(const std::string& Text, TComponent& Component) {
  Reader(Text, Component).Read();
}

void WriteComponent(TStream& Stream, TComponent& Component) {
  const std::string text = ComponentToText(Component);
  Stream.WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
}

void ReadComponent(TStream& Stream, TComponent& Component) {
  const int64_t start = Stream.Position();
  const int64_t size = Stream.Size();
  std::string text(static_cast<size_t>(size > start ? size - start : 0), '\0');
  Stream.ReadBuffer(text.data(), static_cast<int64_t>(text.size()));
  const size_t used = Reader(text, Component).Read();
  Stream.SetPosition(start + static_cast<int64_t>(used));
}

}  // namespace tw
