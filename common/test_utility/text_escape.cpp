#include "text_escape.h"

namespace {

int needs_escape(unsigned char c, int backslash) {
    return c < 0x20 || c == 0x7F || (backslash && c == '\\');
}

int escape(const char* text, char* out, int out_size, int backslash) {
    static const char HEX[] = "0123456789abcdef";
    if (out_size < 1) {
        return 0;
    }
    int n = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
        int width = needs_escape(*p, backslash) ? 4 : 1;
        if (n + width > out_size - 1) {
            out[n] = '\0';
            return 0;
        }
        if (width == 4) {
            out[n++] = '\\';
            out[n++] = 'x';
            out[n++] = HEX[*p >> 4];
            out[n++] = HEX[*p & 0x0F];
        } else {
            out[n++] = static_cast<char>(*p);
        }
    }
    out[n] = '\0';
    return 1;
}

} // namespace

int has_control_bytes(const char* text) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
        if (*p < 0x20 || *p == 0x7F) {
            return 1;
        }
    }
    return 0;
}

int escape_text(const char* text, char* out, int out_size) {
    return escape(text, out, out_size, 1);
}

int escape_control_bytes(const char* text, char* out, int out_size) {
    return escape(text, out, out_size, 0);
}
