#include "asm/AsmMain.h"

#include <cstdint>
#include <exception>

#include "asm/Assembler.h"
#include "asm/LoadFormWriter.h"
#include "asm/SourceError.h"
#include "runtime/Exceptions.h"

namespace tw::redcode {

namespace {

const char kUsage[] =
    "Usage: tonewell-asm [-D NAME=VALUE]... SOURCE.red\n"
    "Assembles an ICWS'94 Redcode source and prints it in tonewell's load form.\n"
    "  -D NAME=VALUE  set a predefined constant (CORESIZE, MAXLENGTH, ROUNDS, ...)\n";

bool IsName(const std::string& s) {
  if (s.empty()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    if (!letter && !(i > 0 && c >= '0' && c <= '9')) return false;
  }
  return true;
}

bool ParseDecimal(const std::string& s, std::int64_t& value) {
  std::size_t i = 0;
  const bool negative = !s.empty() && s[0] == '-';
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) i = 1;
  if (i == s.size()) return false;
  std::uint64_t magnitude = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    magnitude = magnitude * 10 + static_cast<std::uint64_t>(s[i] - '0');
    if (magnitude > (std::uint64_t{1} << 62)) return false;
  }
  value = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
  return true;
}

bool ContainsStart(const std::string& text) {
  for (std::size_t p = 0; p + 5 <= text.size(); ++p) {
    std::string word = text.substr(p, 5);
    for (char& c : word) c = static_cast<char>(c | 0x20);
    if (word == "start") return true;
  }
  return false;
}

int Usage(std::ostream& err, const std::string& problem) {
  err << "tonewell-asm: " << problem << "\n" << kUsage;
  return kAsmExitUsage;
}

}  // namespace

int AsmMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  AssemblerOptions options;
  std::string file_name;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-h" || arg == "--help") {
      out << kUsage;
      return kAsmExitOk;
    }
    if (arg.rfind("-D", 0) == 0) {
      std::string definition = arg.substr(2);
      if (definition.empty()) {
        if (++i == args.size()) return Usage(err, "-D needs NAME=VALUE");
        definition = args[i];
      }
      const std::size_t equals = definition.find('=');
      std::int64_t value = 0;
      if (equals == std::string::npos || !IsName(definition.substr(0, equals)) ||
          !ParseDecimal(definition.substr(equals + 1), value)) {
        return Usage(err, "-D takes NAME=VALUE with a decimal VALUE, not \"" + definition + "\"");
      }
      options.constants[definition.substr(0, equals)] = value;
      continue;
    }
    if (!file_name.empty()) return Usage(err, "one source file only");
    file_name = arg;
  }
  if (file_name.empty()) return Usage(err, "no source file given");

  try {
    const AssembledWarrior warrior = AssembleFile(file_name, options);
    if (ContainsStart(warrior.name) || ContainsStart(warrior.author)) {
      err << file_name
          << ": warning: the name or author contains \"start\"; tonewell's load form takes the "
             "start from the first line containing \"start\", so the start is wrong there\n";
    }
    out << WriteLoadForm(warrior);
    out.flush();
    return kAsmExitOk;
  } catch (const ERedcodeSourceError& e) {
    err << e.Message() << "\n" << e.CaretLines();
  } catch (const std::exception& e) {
    err << "tonewell-asm: " << ReportLine(e) << "\n";
  }
  return kAsmExitSourceError;
}

}  // namespace tw::redcode
