#pragma once
// Which host name, if any, a line of an input list gives cvlistrdns.
//
// A line is taken when it is a single word, a URL with a scheme followed by categories, or a
// list entry whose type word starts with "U" (but not "Uh": hashed entries carry no names).
// Its first word is lower-cased; without resolve_all, "http://" URLs are passed over (the
// filtering service resolves those itself). The host is what follows "://" (or the start) up
// to a port, path, query or the end; a bracketed host is what lies inside the brackets.
// Address texts, address ranges and wildcard names give nothing.

#include <string_view>

// `line` is one input line without its newline; it is cut and lower-cased in place. Returns
// the host as a view into the line, or an empty view when the line gives no host.
std::string_view listrdns_line_host(char* line, bool resolve_all);
