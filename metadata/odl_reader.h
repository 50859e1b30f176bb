#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace aster {

// One value of an ODL statement, as a view into the text read.
struct OdlValue {
    enum Kind {
        None, // a statement with no '=': kept for tolerance, it says nothing
        Text, // "quoted text": the bytes between the quotes
        Word, // a bare word, number, date or 'symbol' (without its quotes)
        List, // ( ... ) or { ... }: the bytes between the outer brackets
    };
    Kind kind = None;
    std::string_view text;
};

// What the reader finds, in file order. GROUP and OBJECT blocks are alike here: ECS nests
// either in either.
class OdlHandler {
  public:
    virtual void begin(std::string_view name) = 0;
    virtual void end() = 0;
    virtual void assign(std::string_view name, const OdlValue& value) = 0;

  protected:
    ~OdlHandler() = default;
};

// Reads the statements of an ODL text up to its END (or its last byte: files without END
// are common). Keywords in any case, any blanks and line breaks between tokens, /* comments
// */ anywhere blanks may stand, lists that wrap. END_GROUP and END_OBJECT close the
// innermost block whatever name they give; one that closes nothing is ignored. A text,
// list or comment left open, blocks nested more than kMaxNesting deep, a text of more
// than kMaxTextBytes, a list of more than kMaxListValues values or a stray byte gives a
// reason with the line it is on, and the reading stops.
std::optional<std::string> ReadOdl(std::string_view text, OdlHandler& handler);

// The first value of a list, or the value itself; a quoted value without its quotes.
std::string_view FirstOdlItem(const OdlValue& value);

// The values of a list as ReadOdl gave it, in order, blanks around them removed and texts
// without their quotes; a nested list is one value. `items` is cleared first, so that a
// caller can reuse it.
void SplitOdlList(std::string_view list, std::vector<std::string_view>& items);

} // namespace aster
