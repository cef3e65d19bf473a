// Formatting and measuring of wide strings.
#include "support/text.h"

#include <climits>
#include <cstdarg>
#include <string>
#include <string_view>

std::size_t WideLength(const char16_t* text) {
    return text == nullptr ? 0 : std::char_traits<char16_t>::length(text);
}

namespace {

class WideWriter {
public:
    WideWriter(char16_t* out, std::size_t capacity) : out_(out), capacity_(capacity) {}

    void Put(char16_t c) {
        // Room is kept for the terminator.
        if (length_ + 1 < capacity_) {
            out_[length_] = c;
        } else {
            overflow_ = true;
        }
        ++length_;
    }
    void PutUnsigned(std::uint32_t value, unsigned base, bool upper) {
        const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
        char buffer[16];
        int n = 0;
        do {
            buffer[n++] = digits[value % base];
            value /= base;
        } while (value != 0);
        while (n > 0) Put(static_cast<char16_t>(buffer[--n]));
    }
    int Finish() {
        if (overflow_ || length_ > static_cast<std::size_t>(INT_MAX)) {
            out_[0] = 0;
            return -1;
        }
        out_[length_] = 0;
        return static_cast<int>(length_);
    }

private:
    char16_t* out_;
    std::size_t capacity_;
    std::size_t length_ = 0;
    bool overflow_ = false;
};

}  // namespace

int FormatWide(char16_t* out, std::size_t capacity, const char16_t* format, ...) {
    if (out == nullptr || capacity == 0) return -1;
    if (format == nullptr) {
        out[0] = 0;
        return -1;
    }
    WideWriter w(out, capacity);
    va_list args;
    va_start(args, format);
    for (const char16_t* f = format; *f != 0; ++f) {
        if (*f != u'%') {
            w.Put(*f);
            continue;
        }
        char16_t conversion = f[1];
        switch (conversion) {
        case u's': {
            const char16_t* s = va_arg(args, const char16_t*);
            for (char16_t c : std::u16string_view(s != nullptr ? s : u"(null)")) w.Put(c);
            break;
        }
        case u'd': {
            int v = va_arg(args, int);
            if (v < 0) w.Put(u'-');
            w.PutUnsigned(v < 0 ? 0u - static_cast<std::uint32_t>(v) : static_cast<std::uint32_t>(v), 10, false);
            break;
        }
        case u'u':
            w.PutUnsigned(va_arg(args, unsigned), 10, false);
            break;
        case u'x':
        case u'X':
            w.PutUnsigned(va_arg(args, unsigned), 16, conversion == u'X');
            break;
        case u'c':
            // char16_t is promoted to int when passed through the ellipsis.
            w.Put(static_cast<char16_t>(va_arg(args, int)));
            break;
        case u'%':
            w.Put(u'%');
            break;
        case 0:
            // A lone '%' at the end is kept as it is.
            w.Put(u'%');
            --f;
            break;
        default:
            // Unknown conversions are copied, not interpreted: no argument is taken for them.
            w.Put(u'%');
            w.Put(conversion);
            break;
        }
        ++f;
    }
    va_end(args);
    return w.Finish();
}
