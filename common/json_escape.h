// Escaping of text inside a JSON string, as the page's rows and SQL answers carry it.
#pragma once

// The letter after the backslash that stands for c inside a JSON string, or 0 when c is
// written as it is. The quote, apostrophe, slash and backslash escape as themselves;
// other control characters than these five pass unchanged.
constexpr char JsonEscapeLetter(unsigned char c) {
  switch (c) {
    case '"': return '"';
    case '\'': return '\'';
    case '\\': return '\\';
    case '/': return '/';
    case 0x08: return 'b';
    case 0x09: return 't';
    case 0x0A: return 'n';
    case 0x0C: return 'f';
    case 0x0D: return 'r';
    default: return 0;
  }
}
