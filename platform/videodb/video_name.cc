#include "platform/videodb/video_name.h"

#include <strings.h>

#include <cctype>
#include <ctime>
#include <vector>

namespace LibKinoro {
namespace db {
namespace internal {

namespace {

// Names are UTF-8; every byte this reads as a separator or marker is ASCII,
// so multi-byte characters pass through untouched.
bool IsSeparator(char c) {
  switch (c) {
    case ' ':
    case '.':
    case '_':
    case '-':
    case '(':
    case ')':
    case '[':
    case ']':
    case '{':
    case '}':
    case ',':
      return true;
    default:
      return false;
  }
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool AllDigits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (!IsDigit(c)) return false;
  }
  return true;
}

std::string Lower(const std::string& s) {
  std::string out = s;
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

struct Token {
  size_t begin;
  size_t end;
  std::string lower;
};

std::vector<Token> Tokenize(const std::string& s) {
  std::vector<Token> tokens;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && IsSeparator(s[i])) ++i;
    size_t begin = i;
    while (i < s.size() && !IsSeparator(s[i])) ++i;
    if (i > begin) tokens.push_back({begin, i, Lower(s.substr(begin, i - begin))});
  }
  return tokens;
}

// Words of release names that never belong to a title: what follows them is
// not the title either.
bool IsReleaseWord(const std::string& t) {
  static const char* const kWords[] = {
      "480p", "576p",  "720p",  "1080p",  "1080i",  "2160p",  "4k",       "uhd",     "bluray",
      "blu",  "brrip", "bdrip", "webrip", "web",    "webdl",  "hdtv",     "dvdrip",  "dvdscr",
      "dvd",  "hdrip", "x264",  "x265",   "h264",   "h265",   "hevc",     "xvid",    "divx",
      "avc",  "remux", "hdr",   "10bit",  "proper", "repack", "extended", "unrated", "limited",
      "aac",  "ac3",   "dts",   "multi",  "subbed", "dubbed", nullptr,
  };
  for (const char* const* w = kWords; *w != nullptr; ++w) {
    if (t == *w) return true;
  }
  return false;
}

// "cd1", "part2", "pt3", "disc1", "disk2", or the word alone with the number
// as the next token. The part's number, or 0.
int PartMarker(const std::vector<Token>& tokens, size_t i, size_t* used) {
  static const char* const kWords[] = {"cd", "part", "pt", "disc", "disk", nullptr};
  const std::string& t = tokens[i].lower;
  for (const char* const* w = kWords; *w != nullptr; ++w) {
    const std::string word = *w;
    if (t.compare(0, word.size(), word) != 0) continue;
    std::string rest = t.substr(word.size());
    *used = 1;
    if (rest.empty() && i + 1 < tokens.size()) {
      rest = tokens[i + 1].lower;
      *used = 2;
    }
    if (AllDigits(rest) && rest.size() <= 2 && std::stoi(rest) > 0) return std::stoi(rest);
  }
  return 0;
}

int YearOf(const Token& token, int max_year) {
  if (token.lower.size() != 4 || !AllDigits(token.lower)) return 0;
  int year = std::stoi(token.lower);
  return year >= 1900 && year <= max_year ? year : 0;
}

// Dots between single letters stay ("S.W.A.T"); other dots are word
// breaks, as are underscores, when the name has no spaces of its own.
std::string Clean(const std::string& raw) {
  std::string s = raw;
  if (s.find(' ') == std::string::npos) {
    for (char& c : s) {
      if (c == '_') c = ' ';
    }
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
      if (s[i] != '.') {
        out += s[i];
        continue;
      }
      const bool single_before = i >= 1 && std::isalpha(static_cast<unsigned char>(s[i - 1])) &&
                                 (i == 1 || s[i - 2] == '.' || s[i - 2] == ' ');
      const bool single_after = i + 1 < s.size() &&
                                std::isalpha(static_cast<unsigned char>(s[i + 1])) &&
                                (i + 2 == s.size() || s[i + 2] == '.');
      out += single_before && single_after ? '.' : ' ';
    }
    s = out;
  }
  std::string out;
  for (char c : s) {
    if (c == ' ' && (out.empty() || out.back() == ' ')) continue;
    out += c;
  }
  static const std::string kTrim = " .-_([{,";
  size_t begin = out.find_first_not_of(kTrim);
  if (begin == std::string::npos) return std::string();
  size_t end = out.find_last_not_of(kTrim);
  return out.substr(begin, end - begin + 1);
}

// Leading "[Group]" tags.
std::string StripGroups(std::string s) {
  for (;;) {
    size_t start = s.find_first_not_of(' ');
    if (start == std::string::npos || s[start] != '[') return s;
    size_t close = s.find(']', start);
    if (close == std::string::npos) return s;
    s = s.substr(close + 1);
  }
}

struct TitleYear {
  std::string title;
  int year = 0;
  int part = 0;
};

// A film's name: the title runs up to the year ("(1968)", or the last bare
// year that is not the first word and comes before any release word), a
// release word or a part marker.
TitleYear ParseTitleYear(const std::string& name, int max_year) {
  TitleYear out;
  const std::string s = StripGroups(name);
  const std::vector<Token> tokens = Tokenize(s);
  size_t release = tokens.size();
  for (size_t i = 0; i < tokens.size(); ++i) {
    if (i > 0 && IsReleaseWord(tokens[i].lower)) {
      release = i;
      break;
    }
  }
  size_t year_at = tokens.size();
  bool in_brackets = false;
  for (size_t i = 0; i < release; ++i) {
    if (YearOf(tokens[i], max_year) == 0) continue;
    const Token& t = tokens[i];
    const bool bracketed = t.begin > 0 && (s[t.begin - 1] == '(' || s[t.begin - 1] == '[') &&
                           t.end < s.size() && (s[t.end] == ')' || s[t.end] == ']');
    if (bracketed) {
      year_at = i;
      in_brackets = true;
    } else if (!in_brackets && i > 0) {
      year_at = i;
    }
  }
  // A part marker counts after the year (or without one); before it, "Part 1"
  // belongs to the title.
  size_t part_at = tokens.size();
  // A name that is nothing but a marker ("cd1.mkv") is a part with no title
  // of its own: the folder names the film.
  size_t bare_used = 0;
  if (!tokens.empty() && year_at == tokens.size()) {
    const int part = PartMarker(tokens, 0, &bare_used);
    if (part > 0 && bare_used == tokens.size()) {
      out.part = part;
      return out;
    }
  }
  for (size_t i = year_at == tokens.size() ? 1 : year_at + 1; i < tokens.size(); ++i) {
    size_t used = 0;
    int part = PartMarker(tokens, i, &used);
    if (part > 0) {
      out.part = part;
      part_at = i;
      break;
    }
  }
  size_t cut = s.size();
  if (year_at < tokens.size()) {
    out.year = YearOf(tokens[year_at], max_year);
    cut = tokens[year_at].begin - (in_brackets ? 1 : 0);
  } else if (release < tokens.size() || part_at < tokens.size()) {
    cut = tokens[std::min(release, part_at)].begin;
  }
  out.title = Clean(s.substr(0, cut));
  return out;
}

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    if (slash > start) parts.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

std::string Stem(const std::string& file_name) {
  size_t dot = file_name.rfind('.');
  return dot == std::string::npos || dot == 0 ? file_name : file_name.substr(0, dot);
}

// "Season 01", "Series 2", "S01", "Specials": the season's number, or -1.
int SeasonFolder(const std::string& name) {
  const std::vector<Token> tokens = Tokenize(name);
  if (tokens.size() == 1 && tokens[0].lower == "specials") return 0;
  if (tokens.size() == 2 && (tokens[0].lower == "season" || tokens[0].lower == "series") &&
      AllDigits(tokens[1].lower) && tokens[1].lower.size() <= 4) {
    return std::stoi(tokens[1].lower);
  }
  if (tokens.size() == 1 && tokens[0].lower.size() >= 2 && tokens[0].lower[0] == 's' &&
      tokens[0].lower.size() <= 5 && AllDigits(tokens[0].lower.substr(1))) {
    return std::stoi(tokens[0].lower.substr(1));
  }
  return -1;
}

// "s01e02" (also "s01e02e03", first episode), "1x02", or "s01" "e02" as two
// tokens. True with season and episode set; `used` counts the tokens.
bool EpisodeMarker(const std::vector<Token>& tokens, size_t i, int* season, int* episode,
                   size_t* used) {
  const std::string& t = tokens[i].lower;
  *used = 1;
  if (t.size() >= 2 && t[0] == 's' && IsDigit(t[1])) {
    size_t e = 1;
    while (e < t.size() && IsDigit(t[e])) ++e;
    if (e - 1 > 2) return false;
    std::string rest = t.substr(e);
    if (rest.empty() && i + 1 < tokens.size() && tokens[i + 1].lower[0] == 'e') {
      rest = tokens[i + 1].lower;
      *used = 2;
    }
    if (rest.size() < 2 || rest[0] != 'e' || !IsDigit(rest[1])) return false;
    size_t n = 1;
    while (n < rest.size() && IsDigit(rest[n])) ++n;
    if (n - 1 > 3 || (n < rest.size() && rest[n] != 'e')) return false;
    *season = std::stoi(t.substr(1, e - 1));
    *episode = std::stoi(rest.substr(1, n - 1));
    return true;
  }
  const size_t x = t.find('x');
  if (x >= 1 && x <= 2 && x != std::string::npos && t.size() - x - 1 >= 2 &&
      t.size() - x - 1 <= 3 && AllDigits(t.substr(0, x)) && AllDigits(t.substr(x + 1))) {
    *season = std::stoi(t.substr(0, x));
    *episode = std::stoi(t.substr(x + 1));
    return true;
  }
  return false;
}

// A show's folder or name: "(2019)" or a last bare year is its year.
void ShowTitleYear(const std::string& name, int max_year, std::string* title, int* year) {
  const TitleYear parsed = ParseTitleYear(name, max_year);
  *title = parsed.title.empty() ? Clean(name) : parsed.title;
  *year = parsed.year;
}

void ParseEpisode(const std::vector<std::string>& parts, int max_year, VideoName* out) {
  const std::string stem = StripGroups(Stem(parts.back()));
  const std::vector<Token> tokens = Tokenize(stem);
  std::string name_show;
  for (size_t i = 0; i < tokens.size(); ++i) {
    size_t used = 0;
    if (!EpisodeMarker(tokens, i, &out->season, &out->episode, &used)) continue;
    name_show = stem.substr(0, tokens[i].begin);
    std::string rest = stem.substr(tokens[i + used - 1].end);
    const std::vector<Token> rest_tokens = Tokenize(rest);
    for (const Token& t : rest_tokens) {
      if (IsReleaseWord(t.lower)) {
        rest = rest.substr(0, t.begin);
        break;
      }
    }
    out->title = Clean(rest);
    // Without an episode name, the name up to the marker: "Show S01E02".
    if (out->title.empty()) out->title = Clean(stem.substr(0, tokens[i + used - 1].end));
    break;
  }
  if (out->title.empty()) out->title = Clean(stem);

  // The show's folder (the first below the library's) names the show
  // better than each file does; a season folder around the file gives the
  // season when the name has none.
  const size_t dirs = parts.size() - 1;
  std::string show_folder;
  if (dirs >= 1 && SeasonFolder(parts[0]) < 0) show_folder = parts[0];
  if (dirs >= 1 && out->season < 0) {
    const int season = SeasonFolder(parts[dirs - 1]);
    if (season >= 0) out->season = season;
  }
  const std::string show_source = !show_folder.empty()        ? show_folder
                                  : !Clean(name_show).empty() ? name_show
                                                              : stem;
  ShowTitleYear(show_source, max_year, &out->show, &out->show_year);
}

}  // namespace

bool IsVideoFileName(const std::string& name) {
  static const char* const kExtensions[] = {"mkv", "mp4",  "m4v", "avi",  "mov",  "wmv",
                                            "ts",  "m2ts", "mpg", "webm", nullptr};
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return false;
  const char* ext = name.c_str() + dot + 1;
  for (const char* const* e = kExtensions; *e != nullptr; ++e) {
    if (strcasecmp(ext, *e) == 0) return true;
  }
  return false;
}

VideoName ParseVideoName(LibraryKind kind, const std::string& relative_path, int max_year) {
  VideoName out;
  const std::vector<std::string> parts = SplitPath(relative_path);
  if (parts.empty()) return out;
  const std::string stem = Stem(parts.back());
  switch (kind) {
    case LibraryKind::kVideo:
      out.title = stem;
      break;
    case LibraryKind::kTvShow:
      ParseEpisode(parts, max_year, &out);
      break;
    case LibraryKind::kMovie: {
      TitleYear own = ParseTitleYear(stem, max_year);
      out.part = own.part;
      if (own.year == 0 && parts.size() >= 2) {
        TitleYear folder = ParseTitleYear(parts[parts.size() - 2], max_year);
        // A bare part takes the folder's title even without a year.
        if ((folder.year != 0 || own.title.empty()) && !folder.title.empty()) own = folder;
      }
      out.title = own.title;
      out.year = own.year;
      break;
    }
  }
  if (out.title.empty()) out.title = stem;
  return out;
}

int LatestNameYear() {
  time_t now = time(nullptr);
  struct tm tm_now;
  gmtime_r(&now, &tm_now);
  return tm_now.tm_year + 1900 + 1;
}

}  // namespace internal
}  // namespace db
}  // namespace LibKinoro
