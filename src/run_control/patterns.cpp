#include "run_control/patterns.h"

#include <re2/filtered_re2.h>
#include <re2/re2.h>
#include <re2/set.h>

#include <algorithm>
#include <cstring>
#include <tuple>

namespace {

// The memory RE2 may take for one pattern: its program and the cache of
// its matcher's states, past which it matches more slowly, still in
// linear time.
constexpr int64_t kPatternMemory = 1 << 20;

RE2::Options pattern_options() {
  RE2::Options options;
  options.set_log_errors(false);
  options.set_max_mem(kPatternMemory);
  return options;
}

// A flag group that makes the pattern ignore case, as in "(?i)": RE2's
// literals then also stand for letters outside ASCII (the Kelvin sign for
// k), which a search for ASCII bytes would miss.
bool ignores_case(const std::string& text) {
  for (size_t at = text.find("(?"); at != std::string::npos; at = text.find("(?", at + 2)) {
    for (size_t i = at + 2; i < text.size() && strchr("imsU-", text[i]); ++i)
      if (text[i] == 'i') return true;
  }
  return false;
}

// RE2's own literals of |text|: empty when some match may hold none.
std::vector<std::string> literals_of(const std::string& text, bool latin1 = false) {
  if (ignores_case(text)) return {};
  re2::FilteredRE2 filter(1);
  int id = 0;
  RE2::Options options = pattern_options();
  if (latin1) options.set_encoding(RE2::Options::EncodingLatin1);
  if (filter.Add(text, options, &id) != RE2::NoError) return {};
  std::vector<std::string> atoms;
  filter.Compile(&atoms);
  std::vector<int> unfiltered;
  filter.AllPotentials({}, &unfiltered);
  if (!unfiltered.empty() || atoms.empty()) return {};
  for (const std::string& atom : atoms) {
    if (atom.empty()) return {};
    for (unsigned char c : atom)
      if (c >= 0x80 || c == '\n') return {};
  }
  // The fewest, longest literals one of which every match holds: those at
  // least N long, for the largest N for which the pattern cannot match
  // with all the others present and none of them.
  std::vector<size_t> lengths;
  for (const std::string& atom : atoms) lengths.push_back(atom.size());
  std::sort(lengths.rbegin(), lengths.rend());
  for (size_t least : lengths) {
    std::vector<int> others;
    std::vector<std::string> kept;
    for (size_t i = 0; i < atoms.size(); ++i) {
      if (atoms[i].size() >= least) kept.push_back(atoms[i]);
      else others.push_back(static_cast<int>(i));
    }
    std::vector<int> passing;
    filter.AllPotentials(others, &passing);
    if (passing.empty()) return kept;
  }
  return atoms;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_ignoring_case(const char* text, const std::string& literal) {
  for (size_t i = 0; i < literal.size(); ++i)
    if (lower(text[i]) != literal[i]) return false;
  return true;
}

}  // namespace

std::vector<std::string> pattern_literals(const std::string& pattern, bool latin1) {
  return literals_of(pattern, latin1);
}

Pattern::~Pattern() = default;

std::shared_ptr<const Pattern> Pattern::compile(const std::string& text, std::string* error) {
  if (text.empty()) {
    *error = "the pattern is empty";
    return nullptr;
  }
  std::shared_ptr<Pattern> p(new Pattern);
  p->text_ = text;
  p->re_ = std::make_unique<re2::RE2>(text, pattern_options());
  if (!p->re_->ok()) {
    *error = p->re_->error();
    return nullptr;
  }
  // Scoped in a group of its own, the pattern's flags stay inside it.
  p->then_any_ = std::make_unique<re2::RE2>("(?:" + text + ")(?s:.)", pattern_options());
  if (!p->then_any_->ok()) p->then_any_.reset();
  p->literals_ = literals_of(text);
  return p;
}

bool Pattern::holds_after(std::string* line, size_t size, size_t from) const {
  char& next = (*line)[size];
  const char kept = next;
  bool holds = true;
  // The assertions RE2 has look one byte ahead at most, and see only
  // whether it is a word byte, a line feed (never in a line) or none.
  for (char byte : {'x', ' '}) {
    next = byte;
    holds = holds && then_any_ &&
            then_any_->Match(re2::StringPiece(line->data(), size + 1), from, size + 1,
                             RE2::UNANCHORED, nullptr, 0);
  }
  next = kept;
  return holds &&
         re_->Match(re2::StringPiece(line->data(), size), from, size, RE2::UNANCHORED, nullptr, 0);
}

size_t Pattern::decide(const LineView& line, size_t from, bool ended, std::string* scratch) const {
  if (from > line.size) return kNoMatch;
  const bool whole = ended && !line.cut();
  if (whole && !re_->Match(re2::StringPiece(line.context.data(), line.size), from, line.size,
                           RE2::UNANCHORED, nullptr, 0))
    return kNoMatch;
  scratch->assign(line.context.data(), line.size);
  scratch->push_back('\0');
  if (!holds_after(scratch, line.size, from)) return whole ? kAtLineEnd : kNoMatch;
  // Once a prefix holds, every longer one does: the first is found by
  // halving, so that it is the same however much of the line came at once.
  size_t low = from, high = line.size;
  while (low < high) {
    const size_t mid = low + (high - low) / 2;
    scratch->assign(line.context.data(), mid);
    scratch->push_back('\0');
    if (holds_after(scratch, mid, from)) high = mid;
    else low = mid + 1;
  }
  return low;
}

struct PatternSearch::Together {
  Together() : set(pattern_options(), RE2::UNANCHORED) {}
  RE2::Set set;
  std::vector<int> which;
};

PatternSearch::~PatternSearch() = default;

PatternSearch::PatternSearch(std::vector<const Pattern*> patterns, const LineWindow& line,
                             uint64_t from)
    : patterns_(std::move(patterns)), line_(line), from_(from) {
  if (patterns_.size() > 1) {
    together_ = std::make_unique<Together>();
    bool added = true;
    for (const Pattern* p : patterns_) added = added && together_->set.Add(p->text(), nullptr) >= 0;
    if (!added || !together_->set.Compile()) together_.reset();
  }
  std::vector<std::string> literals;
  for (const Pattern* p : patterns_) {
    // A pattern that may match a line with none of its literals: every
    // line is matched.
    if (p->literals().empty()) {
      literals.clear();
      break;
    }
    literals.insert(literals.end(), p->literals().begin(), p->literals().end());
  }
  filter_ = LiteralFilter(std::move(literals));
  // The growing line seen so far was looked at already where it came.
  const LineView view = line_view(line_.kept().data(), line_.kept().size());
  seen_ = view.size;
  // Counted among the line's text, past the CR of an LF CR end.
  from_ = from > view.start ? from - view.start : 0;
}

LiteralFilter::LiteralFilter(std::vector<std::string> literals) : literals_(std::move(literals)) {
  every_line_ = literals_.empty();
  choose(nullptr);
}

void LiteralFilter::tune(const char* data, size_t len) {
  if (tuned_ || every_line_ || len < kTuningBytes) return;
  size_t counts[256] = {};
  for (size_t i = 0; i < len; ++i) ++counts[static_cast<unsigned char>(data[i])];
  choose(counts);
  tuned_ = true;
}

void LiteralFilter::new_piece() {
  for (Trigger& t : triggers_) t.next = nullptr;
}

void LiteralFilter::choose(const size_t* counts) {
  triggers_.clear();
  if (every_line_) return;
  auto upper = [](unsigned char c) {
    return static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  };
  // How often a byte, in either case, came in the output, or is thought
  // to; then how many passes finding it takes (a letter's two cases two).
  auto cost = [&](unsigned char c) {
    const size_t seen = counts ? counts[c] + (upper(c) != c ? counts[upper(c)] : 0) : 0;
    return std::make_tuple(seen, counts && upper(c) != c, byte_commonness(c));
  };
  // Each literal is found by its rarest byte, in either case.
  for (size_t which = 0; which < literals_.size(); ++which) {
    {
      const std::string& literal = literals_[which];
      size_t rare = 0;
      for (size_t i = 1; i < literal.size(); ++i)
        if (cost(static_cast<unsigned char>(literal[i])) <
            cost(static_cast<unsigned char>(literal[rare])))
          rare = i;
      const unsigned char c = static_cast<unsigned char>(literal[rare]);
      for (unsigned char byte : {c, upper(c)}) {
        auto t = std::find_if(triggers_.begin(), triggers_.end(),
                              [byte](const Trigger& x) { return x.byte == byte; });
        if (t == triggers_.end()) t = triggers_.insert(triggers_.end(), Trigger{byte, {}, nullptr});
        t->literals.emplace_back(which, rare);
        if (upper(c) == c) break;
      }
    }
  }
}

const char* LiteralFilter::hit(Trigger* t, const char* from, const char* begin,
                               const char* end) const {
  for (const char* at = from; at < end;) {
    const void* found = memchr(at, t->byte, static_cast<size_t>(end - at));
    if (!found) return end;
    const char* c = static_cast<const char*>(found);
    for (const auto& [which, offset] : t->literals) {
      const std::string& literal = literals_[which];
      const char* start = c - offset;
      if (start >= begin && start + literal.size() <= end && same_ignoring_case(start, literal))
        return c;
    }
    at = c + 1;
  }
  return end;
}

const char* LiteralFilter::next_line(const char* begin, const char* end) {
  const char* first = end;
  for (Trigger& t : triggers_) {
    if (!t.next || t.next < begin) t.next = hit(&t, begin, begin, end);
    first = std::min(first, t.next);
  }
  if (first == end) return nullptr;
  const char* nl = last_line_end(begin, static_cast<size_t>(first - begin));
  return nl ? nl + 1 : begin;
}

bool LiteralFilter::may_hold(const char* begin, const char* end) {
  if (triggers_.empty()) return true;
  for (Trigger& t : triggers_)
    if (hit(&t, begin, begin, end) != end) return true;
  return false;
}

size_t PatternSearch::match(const LineView& line, bool ended) {
  size_t first = Pattern::kNoMatch;
  auto try_pattern = [&](size_t i) {
    const size_t found = patterns_[i]->decide(line, static_cast<size_t>(from_), ended, &scratch_);
    if (found < first) {
      first = found;
      matched_ = i;
    }
  };
  if (from_ > line.size) return first;
  // The set sees a whole line that has ended: a pattern it does not match
  // there holds at no byte of it either.
  if (together_ && from_ == 0 && ended && !line.cut()) {
    std::vector<int>& which = together_->which;
    which.clear();
    RE2::Set::ErrorInfo error{RE2::Set::kNoError};
    if (together_->set.Match(re2::StringPiece(line.context.data(), line.size), &which, &error)) {
      std::sort(which.begin(), which.end());
      for (int i : which) try_pattern(static_cast<size_t>(i));
      return first;
    }
    // Out of memory for its states, the set knows nothing: each looks.
    if (error.kind == RE2::Set::kNoError) return Pattern::kNoMatch;
  }
  for (size_t i = 0; i < patterns_.size(); ++i) try_pattern(i);
  return first;
}

size_t PatternSearch::taken(const LineView& line, size_t found, uint64_t before, size_t line_end) {
  if (found == Pattern::kAtLineEnd) return line_end;
  const uint64_t at = line.start + found;
  return at > before ? static_cast<size_t>(at - before) : 0;
}

size_t PatternSearch::end_of_output() {
  if (line_.length() == 0) return kNotFound;
  const std::string& kept = line_.kept();
  const LineView view = line_view(kept.data(), kept.size());
  // An empty last line, or the CR of an LF CR end alone, is no line.
  const bool found = view.size > 0 && filter_.may_hold(kept.data(), kept.data() + kept.size()) &&
                     match(view, true) != Pattern::kNoMatch;
  line_.clear();
  return found ? 0 : kNotFound;
}

size_t PatternSearch::find_in(const char* data, size_t len) {
  const char* const end = data + len;
  const char* at = data;
  filter_.tune(data, len);
  filter_.new_piece();
  // A line carried from before goes on first.
  if (line_.length() > 0) {
    const char* nl = static_cast<const char*>(memchr(data, '\n', len));
    const char* stop = nl ? nl : end;
    const uint64_t before = line_.length();
    const bool grew = !line_.full();
    line_.add(data, static_cast<size_t>(stop - data));
    if (grew || nl) {
      const std::string& kept = line_.kept();
      const LineView view = line_view(kept.data(), kept.size());
      // Only a line whose window grew, or that ended, can match anew.
      if ((nl || view.size > seen_) && filter_.may_hold(kept.data(), kept.data() + kept.size())) {
        seen_ = view.size;
        const size_t found = match(view, nl != nullptr);
        if (found != Pattern::kNoMatch)
          return taken(view, found, before, nl ? static_cast<size_t>(nl - data) + 1 : 0);
      }
      seen_ = view.size;
    }
    if (!nl) return kNotFound;
    line_.clear();
    from_ = 0;
    seen_ = 0;
    at = nl + 1;
  }
  while (at < end) {
    if (!filter_.every_line()) {
      const char* line = filter_.next_line(at, end);
      if (!line) {
        // No line left here may match: the last, if it goes on, is kept.
        const char* nl = last_line_end(at, static_cast<size_t>(end - at));
        const char* rest = nl ? nl + 1 : at;
        line_.add(rest, static_cast<size_t>(end - rest));
        seen_ = line_view(line_.kept().data(), line_.kept().size()).size;
        return kNotFound;
      }
      at = line;
    }
    const char* nl = static_cast<const char*>(memchr(at, '\n', static_cast<size_t>(end - at)));
    if (!nl) {
      line_.add(at, static_cast<size_t>(end - at));
      const LineView view = line_view(line_.kept().data(), line_.kept().size());
      seen_ = view.size;
      const size_t found = match(view, false);
      return found == Pattern::kNoMatch ? kNotFound
                                        : static_cast<size_t>(at - data) + taken(view, found, 0, 0);
    }
    const LineView view = line_view(at, static_cast<size_t>(nl - at));
    const size_t found = match(view, true);
    if (found != Pattern::kNoMatch)
      return static_cast<size_t>(at - data) + taken(view, found, 0, static_cast<size_t>(nl - at) + 1);
    from_ = 0;
    at = nl + 1;
  }
  return kNotFound;
}
