#include "location/template.h"

#include <dirent.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/ascii.h"
#include "common/keyword.h"
#include "common/types.h"
#include "status/status.h"

namespace mirt {
namespace {

// Results live in 1024-byte buffers wherever they are stored.
constexpr size_t kResultLimit = 1023;
// Past this much text, the rest of a template is taken literally.
constexpr size_t kExpandLimit = 896;
// Insertions this long or longer are dropped.
constexpr size_t kInsertLimit = 128;
constexpr size_t kMacroLength = 8;
constexpr int kPromptSize = 128;

struct SystemFacts {
  bool present = false;
  std::string sysname;
  std::string release;
  std::string machine;
};

SystemFacts g_facts;
char g_distribution[128] = "unknown";

void set_facts(const char* sysname, const char* release, const char* machine) {
  g_facts.sysname = lowercase_copy(sysname);
  g_facts.release = release != nullptr ? release : "";
  g_facts.machine = lowercase_copy(machine);
  g_facts.present = true;
}

const SystemFacts& system_facts() {
  if (!g_facts.present) {
    struct utsname names {};
    if (uname(&names) == 0) {
      set_facts(names.sysname, names.release, names.machine);
    } else {
      set_facts("", "", "");
    }
  }
  return g_facts;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

void append_capped(std::string& out, const char* text, size_t length) {
  if (out.size() >= kResultLimit) return;
  out.append(text, std::min(length, kResultLimit - out.size()));
}

void append_capped(std::string& out, const std::string& text) {
  append_capped(out, text.data(), text.size());
}

void append_limited(std::string& out, const std::string& text) {
  if (text.size() < kInsertLimit) append_capped(out, text);
}

enum class Macro { Home, Osnm, Arch, File, Atsg, Dist, Verf, Vers, Blds, Osrn, Osrm, Usrn, Pswd };

struct MacroEntry {
  const char* name;
  Macro macro;
};

constexpr MacroEntry kMacros[] = {
    {"HOME", Macro::Home}, {"OSNM", Macro::Osnm}, {"ARCH", Macro::Arch}, {"FILE", Macro::File},
    {"ATSG", Macro::Atsg}, {"DIST", Macro::Dist}, {"VERF", Macro::Verf}, {"VERS", Macro::Vers},
    {"BLDS", Macro::Blds}, {"OSRN", Macro::Osrn}, {"OSRM", Macro::Osrm}, {"USRN", Macro::Usrn},
    {"PSWD", Macro::Pswd},
};

const MacroEntry* find_macro(const char* name) { return find_keyword(kMacros, elf_hash4(name)); }

std::string formatted_version(bool with_patch) {
  char text[64];
  if (with_patch) {
    std::snprintf(text, sizeof text, "%i.%i.%i", kVersionMajor, kVersionMinor, kVersionPatch);
  } else {
    std::snprintf(text, sizeof text, "%i.%i", kVersionMajor, kVersionMinor);
  }
  return text;
}

std::string build_description() {
  char text[256];
  std::snprintf(text, sizeof text, "mirt-%i.%i.%i-%s-%smodules-%sdebian-%snetwork-%svercheck",
                kVersionMajor, kVersionMinor, kVersionPatch, kReleaseTag, "", "no", "", "");
  return text;
}

void append_macro(std::string& out, Macro macro, const char* file_value, Prompts prompts) {
  switch (macro) {
    case Macro::Home: {
      const char* home = std::getenv("HOME");
      if (home != nullptr) append_limited(out, home);
      break;
    }
    case Macro::Osnm:
      append_limited(out, system_facts().sysname);
      break;
    case Macro::Arch:
      append_limited(out, system_facts().machine);
      break;
    case Macro::File:
      append_limited(out, file_value != nullptr ? file_value : "");
      break;
    case Macro::Atsg:
      append_capped(out, "@", 1);
      break;
    case Macro::Dist:
      if (system_facts().sysname == "linux") append_limited(out, distribution_name());
      break;
    case Macro::Verf:
      append_capped(out, formatted_version(true));
      break;
    case Macro::Vers:
      append_capped(out, formatted_version(false));
      break;
    case Macro::Blds:
      append_limited(out, build_description());
      break;
    case Macro::Osrn:
    case Macro::Osrm: {
      const std::string& release = system_facts().release;
      if (release.empty() || release.size() >= kInsertLimit) break;
      append_capped(out, macro == Macro::Osrn ? release_number(release)
                                              : release_major_minor(release));
      break;
    }
    case Macro::Usrn:
    case Macro::Pswd: {
      if (prompts == Prompts::kNever) break;
      bool hidden = macro == Macro::Pswd;
      auto answer =
          read_prompt(hidden ? "Enter password: " : "Enter username: ", kPromptSize, hidden);
      if (answer) append_limited(out, *answer);
      break;
    }
  }
}

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

std::string release_number(std::string_view release) {
  std::string out;
  for (char c : release) {
    if (!is_digit(c) && c != '.') break;
    out += c;
  }
  return out;
}

std::string release_major_minor(std::string_view release) {
  std::string out;
  bool dot_seen = false;
  for (char c : release) {
    if (c == '.') {
      if (dot_seen) break;
      dot_seen = true;
    }
    if (is_digit(c) || dot_seen) out += c;
  }
  return out;
}

std::string expand_template(const char* tmpl, const char* file_value, Prompts prompts) {
  if (tmpl == nullptr) return std::string();
  if (std::strstr(tmpl, "@@") == nullptr) return std::string(tmpl);

  std::string out;
  out.reserve(kResultLimit);
  system_facts();

  const char* cursor = tmpl;
  for (;;) {
    const char* at = std::strstr(cursor, "@@");
    if (at == nullptr || std::strlen(at + 2) < kMacroLength - 2) {
      append_capped(out, cursor, std::strlen(cursor));
      break;
    }
    append_capped(out, cursor, static_cast<size_t>(at - cursor));
    const char* after = at + kMacroLength;
    if (out.size() > kExpandLimit) {
      append_capped(out, after, std::strlen(after));
      break;
    }
    if (const MacroEntry* entry = find_macro(at + 2)) append_macro(out, entry->macro, file_value, prompts);
    cursor = after;
  }
  return out;
}

const char* distribution_name() {
  static constexpr const char* kMarks[] = {"-version", "_version", "-release"};
  std::unique_ptr<DIR, DirCloser> dir(opendir("/etc/."));
  if (!dir) return g_distribution;
  while (const dirent* entry = readdir(dir.get())) {
    for (const char* mark : kMarks) {
      const char* found = std::strstr(entry->d_name, mark);
      if (found == nullptr) continue;
      size_t length = std::min(static_cast<size_t>(found - entry->d_name),
                               sizeof g_distribution - 1);
      std::memcpy(g_distribution, entry->d_name, length);
      g_distribution[length] = '\0';
      return g_distribution;
    }
  }
  return g_distribution;
}

std::optional<std::string> read_prompt(const char* prompt, int size, bool hidden) {
  if (prompt == nullptr) prompt = "";
  if (hidden) {
    if (size < kPromptSize) return std::nullopt;
    const char* answer = getpass(prompt);
    if (answer == nullptr) return std::nullopt;
    return std::string(answer);
  }
  if (size < 2) return std::nullopt;

  std::unique_ptr<std::FILE, FileCloser> terminal;
  std::FILE* source = stdin;
  if (status_param_get(kStatusPromptStdin) != 1) {
    terminal.reset(std::fopen("/dev/tty", "r"));
    if (!terminal) return std::nullopt;
    source = terminal.get();
  }

  std::fputs(prompt, stderr);
  std::fflush(stderr);
  std::string line(static_cast<size_t>(size), '\0');
  if (std::fgets(line.data(), size, source) == nullptr) return std::nullopt;
  size_t length = std::strcspn(line.c_str(), "\n\r");
  if (line[length] == '\0' && length == static_cast<size_t>(size) - 1) {
    // The line did not fit. Its rest must not answer the next prompt, and
    // a cut answer would be wrong anyway.
    int c = std::fgetc(source);
    if (c != '\n' && c != '\r' && c != EOF) {
      while (c != '\n' && c != EOF) c = std::fgetc(source);
      return std::nullopt;
    }
    if (c == '\r') {
      int next = std::fgetc(source);
      if (next != '\n' && next != EOF) std::ungetc(next, source);
    }
  }
  line.resize(length);
  return line;
}

void template_reset(const char* sysname, const char* release, const char* machine) {
  g_facts = SystemFacts{};
  if (sysname != nullptr) set_facts(sysname, release, machine);
  std::strcpy(g_distribution, "unknown");
}

}  // namespace mirt
