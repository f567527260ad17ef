// Host names as users type them. A name in any script ("bücher.example",
// UTF-8) has one ASCII form, its IDNA form ("xn--bcher-kva.example"), and
// that form is what the network sees: the name lookup, the Host field, the
// TLS server name and certificate check, no_proxy matching and the names
// given to a SOCKS proxy. The parsers of URLs convert the host once, where
// they take it from the text; texts for the user name a host in its own
// script again (DisplayHostName).
//
// AsciiHostName: a name of ASCII characters alone (an address literal, a
// name already in its "xn--" form) is returned as it stands. Any other name
// is converted by the IDNA 2008 rules, non-transitional, with its input
// normalised to NFC and mapped as browsers map it (upper case to lower case,
// the ideographic full stop to "."); a name those rules refuse is tried once
// more by the transitional rules ("ß" becomes "ss"), as browsers do. nullopt
// when both refuse it (a byte sequence that is not UTF-8, a character no
// host name may hold, a label too long).
//
// A parser that meets a name without an ASCII form keeps the name as it was
// written: such a host holds a byte above 0x7F, which IsAsciiHostName tells,
// and the request fails before any connection with InvalidHostNameText.
//
// DisplayHostName: the name with its "xn--" labels decoded to UTF-8, as
// browsers show it: a label that could pass for another name's (it mixes
// scripts beyond the combinations one writing system uses, or holds an
// invisible character) stays in, or is shown in, its "xn--" form, so that
// "xn--pypal-4ve.example" is never shown as "pаypal.example" with a
// Cyrillic "а". A label that does not decode, or has no ASCII form, stays
// as it stands.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillon {

std::optional<std::string> AsciiHostName(std::string_view name);

// The host a URL names, as the parsers keep it: its ASCII form, else the
// name as written.
std::string UrlHostName(std::string_view name);

// True when `host` holds only ASCII bytes: every host a parser could convert.
bool IsAsciiHostName(std::string_view host);

std::string DisplayHostName(std::string_view name);

// "the host name NAME is not valid." with NAME as the user wrote it.
std::string InvalidHostNameText(std::string_view name);

}  // namespace quillon
