// The publisher's check of a catalogue: loads it as the window does (a
// program file's stored update included, see catalogue_in_use.h) and prints
// what the window will show, one item a line, then what a publisher should fix:
//
//   caption: TEXT
//   id: ID|none                 (when it names a Publisher_Key or a Catalogue_Id)
//   signature: none (no Publisher_Key)|valid (serial N|none)|not valid: REASON
//   source: program file|update, serial N|catalogue file
//   product N: NAME (links: K, screenshot: yes|no, description: yes|no)
//     link M: DESCRIPTION -> URL [program|browser, verified by SHA-256|not verified
//             (, K piece hashes of N MiB)(, up to C connections per host)]
//   picture Splash_Logo|Icon N|Screenshot N: none|W x H|error MESSAGE
//   update button: shown|hidden
//   warning: TEXT
//
// A link whose path or query holds what a URL carries only percent-encoded
// (a space, a letter beyond ASCII) is a warning that names it encoded as the
// program sends it, in UTF-8: "product N link M: the URL is written
// unencoded; write it as http://h/Pr%C3%BCfbericht%202024.zip (this program
// encodes it, other programs may not)".
//
// Products and links are counted from 1. Texts are printed in UTF-8.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

namespace quillon {

// `file`: a program file with an appended catalogue, or a catalogue file of its
// own. `today`: the day number for the update rule. Returns 0 when the
// catalogue loaded and every link can be used, else 1 after writing the
// error's message to `err`: the load's, or one line per link that UrlRefusal
// (net/http/url.h) refuses, "product N link M: REASON" (a control byte, raw
// or CR, LF or NUL percent-encoded; no host), or whose Piece_SHA256 or
// Connections cannot be used ("product N link M: Piece_SHA256 does not fit
// Size ..."), after the usual report.
int CheckCatalogue(const std::string& file, std::ostream& out, std::ostream& err, int64_t today);

}  // namespace quillon
