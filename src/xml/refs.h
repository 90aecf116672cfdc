// Entity and character references, and the two decoders that turn a validated raw span into
// text: attribute-value normalisation and character-data line-end normalisation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tovrel {

// The code point a reference stands for; `name` is the text between '&' and ';'. Throws
// Malformed("undefined entity"), Malformed("bad char ref") or Malformed("invalid char ref").
std::uint32_t resolve_ref(std::string_view name);
// The same check without throwing: null with the code point in `cp`, or the error message.
const char* ref_error(std::string_view name, std::uint32_t& cp) noexcept;

// Checks every reference in the span: Malformed("bad reference") for an '&' without a later
// ';', else the error of resolve_ref.
void validate_refs(const std::uint8_t* p, std::size_t n);
// The same check without throwing: the message of the first error, or null.
const char* refs_error(const std::uint8_t* p, std::size_t n) noexcept;

// Attribute-value normalisation of a validated raw value: tab, LF and CR become a space (CR LF
// one space), references their character. Returns `raw` itself when nothing changes, else a view
// of `scratch`, which it fills.
std::string_view decode_attr(std::string_view raw, std::string& scratch);

// Character data of a validated text run or CDATA body: CR LF and lone CR become LF; outside
// CDATA references are replaced too. Returns `raw` itself when nothing changes, else a view of
// `scratch`.
std::string_view decode_text(std::string_view raw, bool cdata, std::string& scratch);

}  // namespace tovrel
