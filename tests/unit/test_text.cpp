// test_text.cpp - the text buffer, the JSON string writer and the small text
// helpers.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "store/store_internal.h"
#include "store_test_util.h"

namespace {

TEST(Buf, FreshAndFreedBuffersGiveAnEmptyText) {
    buf b;
    buf_init(&b);
    ASSERT_NE(buf_str(&b), nullptr);
    EXPECT_STREQ(buf_str(&b), "");
    buf_add(&b, "abc", 0);
    buf_add(&b, nullptr, 5);
    buf_puts(&b, nullptr);
    buf_puts(&b, "");
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.cap, 0u);
    EXPECT_EQ(b.len, 0u);
    buf_puts(&b, "hello");
    EXPECT_STREQ(buf_str(&b), "hello");
    buf_free(&b);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.cap, 0u);
    EXPECT_EQ(b.len, 0u);
    EXPECT_STREQ(buf_str(&b), "");
    buf_putc(&b, 'x');
    EXPECT_STREQ(buf_str(&b), "x");
    buf_free(&b);
}

TEST(Buf, CapacityRunsFrom1024ByDoubling) {
    buf b = {};
    std::string chunk(1023, 'a');
    buf_add(&b, chunk.data(), chunk.size());
    EXPECT_EQ(b.cap, 1024u);
    EXPECT_EQ(b.len, 1023u);
    buf_putc(&b, 'b');
    EXPECT_EQ(b.cap, 2048u);
    EXPECT_EQ(b.len, 1024u);
    EXPECT_EQ(b.data[b.len], 0);
    std::string big(5000, 'c');
    buf_add(&b, big.data(), big.size());
    EXPECT_EQ(b.cap, 8192u);
    EXPECT_EQ(b.len, 6024u);
    EXPECT_EQ(b.dropped, 0);
    buf_free(&b);
}

TEST(Buf, RequestBeyondTheCeilingFailsAndLeavesTheBufferAlone) {
    buf b = {};
    buf_puts(&b, "keep");
    char *data = b.data;
    uint64_t cap = b.cap;
    // The text plus the terminator would need one byte more than 256 MiB;
    // the source is never read because the room is refused first.
    EXPECT_EQ(buf_need(&b, BUF_MAX_CAP - 4), 0);
    EXPECT_EQ(buf_need(&b, UINT64_MAX), 0);
    buf_add(&b, "x", BUF_MAX_CAP);
    EXPECT_EQ(b.data, data);
    EXPECT_EQ(b.cap, cap);
    EXPECT_EQ(b.len, 4u);
    EXPECT_EQ(b.dropped, 1);
    EXPECT_STREQ(buf_str(&b), "keep");
    // Later requests are tried afresh.
    EXPECT_EQ(buf_need(&b, 10), 1);
    buf_puts(&b, "!");
    EXPECT_STREQ(buf_str(&b), "keep!");
    EXPECT_EQ(b.dropped, 1);
    buf_free(&b);
    EXPECT_EQ(b.dropped, 0);
}

struct json_case {
    const char *in;
    const char *out;
};

TEST(JsonStr, EscapesOnlyQuoteBackslashAndControlBytes) {
    const json_case cases[] = {
        {nullptr, "\"\""},
        {"", "\"\""},
        {"plain / text", "\"plain / text\""},
        {"\"q\"", "\"\\\"q\\\"\""},
        {"a\\b", "\"a\\\\b\""},
        {"\n\r\t\b\f", "\"\\n\\r\\t\\b\\f\""},
        {"\x01", "\"\\u0001\""},
        {"\x1b[0m", "\"\\u001b[0m\""},
        {"\x1f", "\"\\u001f\""},
        {"\x7f", "\"\x7f\""},
        {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
        {"\xff\xfe", "\"\xff\xfe\""},
    };
    for (const json_case &c : cases) {
        buf b = {};
        json_str(&b, c.in);
        EXPECT_STREQ(buf_str(&b), c.out) << (c.in ? c.in : "(null)");
        buf_free(&b);
    }
}

// The byte-at-a-time rule, to check the writer wherever a byte sits.
std::string json_reference(const std::string &s) {
    std::string o = "\"";
    for (unsigned char c : s) {
        char esc[8];
        switch (c) {
        case '"': o += "\\\""; break;
        case '\\': o += "\\\\"; break;
        case '\n': o += "\\n"; break;
        case '\r': o += "\\r"; break;
        case '\t': o += "\\t"; break;
        case '\b': o += "\\b"; break;
        case '\f': o += "\\f"; break;
        default:
            if (c < 0x20) {
                snprintf(esc, sizeof esc, "\\u%04x", c);
                o += esc;
            } else {
                o += (char)c;
            }
        }
    }
    return o + "\"";
}

TEST(JsonStr, EveryByteAtEveryPositionOfLongerTexts) {
    for (int c = 1; c < 256; c++) {
        for (size_t len = 1; len <= 19; len += 9) {
            for (size_t pos = 0; pos < len; pos++) {
                std::string s(len, 'a');
                s[pos] = (char)c;
                if (pos + 1 < len) s[len - 1] = (char)(c ^ 0x40 ? c ^ 0x40 : 1);
                buf b = {};
                json_str(&b, s.c_str());
                ASSERT_EQ(std::string(buf_str(&b)), json_reference(s)) << c << " at " << pos;
                buf_free(&b);
            }
        }
    }
}

// A text whose worst case (every byte escaped) is too large to reserve at
// once is written piece by piece, with the same escapes.
TEST(JsonStr, HugeTextGoesInPiecesWithTheSameEscapes) {
    std::string s(BUF_MAX_CAP / 8 + 16, 'x');
    const std::string head = "\"q\x01\n", tail = "\\\t\x1f";
    s.replace(0, head.size(), head);
    s.replace(s.size() - tail.size(), tail.size(), tail);
    s[s.size() / 2] = '\r';
    buf b = {};
    json_str(&b, s.c_str());
    ASSERT_EQ(b.dropped, 0);
    const std::string want_head = "\"\\\"q\\u0001\\nxx", want_tail = "xx\\\\\\t\\u001f\"";
    ASSERT_EQ(b.len, s.size() + 2 + 1 + 5 + 1 + 1 + 1 + 5 + 1);
    EXPECT_EQ(std::string(b.data, want_head.size()), want_head);
    EXPECT_EQ(std::string(b.data + b.len - want_tail.size()), want_tail);
    EXPECT_NE(std::string(b.data, b.len).find("x\\rx"), std::string::npos);
    buf_free(&b);
}

TEST(StrCopy, CutsSilentlyAndAlwaysTerminates) {
    char d1[1] = {'x'};
    str_copy(d1, sizeof d1, "abc");
    EXPECT_STREQ(d1, "");
    char d4[4];
    str_copy(d4, sizeof d4, "abcdef");
    EXPECT_STREQ(d4, "abc");
    char d8[8] = "old";
    str_copy(d8, sizeof d8, nullptr);
    EXPECT_STREQ(d8, "");
    str_copy(d8, sizeof d8, "fits");
    EXPECT_STREQ(d8, "fits");
    char keep[4] = "abc";
    str_copy(keep, 0, "zzz");
    EXPECT_STREQ(keep, "abc");
    str_copy(nullptr, 10, "zzz");
}

struct contains_case {
    const char *hay;
    const char *needle;
    int want;
};

TEST(StrIcontains, FoldsOnlyAsciiLetters) {
    const contains_case cases[] = {
        {nullptr, "", 1},
        {nullptr, nullptr, 1},
        {"abc", nullptr, 1},
        {"", "a", 0},
        {nullptr, "a", 0},
        {"HelloWorld", "LLOWO", 1},
        {"HelloWorld", "world", 1},
        {"abc", "abcd", 0},
        {"aab", "ab", 1},
        {"\xc3\xa9t\xc3\xa9", "\xc3\x89T\xc3\x89", 0},
        {"\xc3\xa9t\xc3\xa9", "\xc3\xa9T", 1},
        {"x[y", "[Y", 1},
        {"@", "`", 0},
    };
    for (const contains_case &c : cases)
        EXPECT_EQ(str_icontains(c.hay, c.needle), c.want)
            << (c.hay ? c.hay : "(null)") << " / " << (c.needle ? c.needle : "(null)");
}

TEST(DupOrNull, CopiesOrPassesNullThrough) {
    EXPECT_EQ(dup_or_null(nullptr), nullptr);
    const char src[] = "text";
    char *c = dup_or_null(src);
    ASSERT_NE(c, nullptr);
    EXPECT_NE(c, src);
    EXPECT_STREQ(c, "text");
    free(c);
    c = dup_or_null("");
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c, "");
    free(c);
}

struct env_case {
    const char *value;  // null: unset
    int def, min, max, want;
};

TEST(EnvInt, ParsesClampsAndFallsBack) {
    store_test::env_guard guard;
    const char *name = "MEMORY_MAX_ENTITIES";
    const env_case cases[] = {
        {nullptr, 7, 1, 100, 7},
        {"", 7, 1, 100, 7},
        {"abc", 7, 1, 100, 7},
        {"-5", 7, 1, 100, 1},
        {"99999999999", 7, 1, 100, 7},
        {" 42x", 7, 1, 100, 42},
        {"12ab", 7, 1, 100, 12},
        {"+30", 7, 1, 100, 30},
        {"500", 7, 1, 100, 100},
        {"0", 7, 1, 100, 1},
        {"2147483647", 7, 1, INT_MAX, INT_MAX},
        {"2147483648", 7, 1, INT_MAX, 7},
        {"-", 7, 1, 100, 7},
        {nullptr, 500, 1, 100, 500},  // the default is not clamped
    };
    for (const env_case &c : cases) {
        if (c.value)
            setenv(name, c.value, 1);
        else
            unsetenv(name);
        EXPECT_EQ(env_int(name, c.def, c.min, c.max), c.want) << (c.value ? c.value : "(unset)");
    }
}

}  // namespace

// The quick test for the escape \u0000 in a JSON text, at every place of
// texts longer and shorter than the sixteen bytes it looks at at once.
TEST(JsonTextHasNulEscape, FindsTheEscapeWhereverItIs) {
    const std::string esc = "\\u0000";
    for (size_t len = 0; len <= 40; len++) {
        std::string plain(len, 'a');
        EXPECT_EQ(json_text_has_nul_escape(plain.data(), plain.size()), 0) << len;
        for (size_t pos = 0; pos + esc.size() <= len; pos++) {
            std::string s = plain;
            s.replace(pos, esc.size(), esc);
            EXPECT_EQ(json_text_has_nul_escape(s.data(), s.size()), 1) << len << " at " << pos;
            // The escape cut short by the end of the text is not there.
            EXPECT_EQ(json_text_has_nul_escape(s.data(), pos + esc.size() - 1), 0) << len << " at " << pos;
        }
    }
    const char *near[] = {"\\u0001", "\\u000", "\\U0000", "\\\\x0000", "u0000", "\\ u0000"};
    for (const char *t : near) {
        std::string s = std::string(20, 'b') + t + std::string(20, 'b');
        EXPECT_EQ(json_text_has_nul_escape(s.data(), s.size()), 0) << t;
    }
}

// The one-pass line scan against the plain rule on many texts made of the
// bytes it looks for: the first line feed, and whether a zero byte or the
// escape \u0000 comes before it, at every place of blocks of 16, 32 and 64
// bytes, in every way of scanning the processor offers.
TEST(LineScan, FindsTheLineEndAndWhatComesBeforeIt) {
    auto plain = [](const std::string &s, int *marks) {
        size_t end = s.find('\n');
        if (end == std::string::npos) end = s.size();
        *marks = 0;
        if (s.substr(0, end).find('\0') != std::string::npos) *marks |= LINE_ZERO;
        if (json_text_has_nul_escape(s.data(), end)) *marks |= LINE_NUL_ESCAPE;
        return end;
    };
    const char alphabet[] = {'a', 'a', 'a', '\\', 'u', '0', '0', '\n', '\0', 'x'};
    const int widths[] = {64, 32, 16, 1};
    int used_before = line_scan_set_width(64);
    for (int width : widths) {
        int used = line_scan_set_width(width);
        SCOPED_TRACE(used);
        unsigned seed = 7;
        for (int round = 0; round < 20000; round++) {
            seed = seed * 1103515245u + 12345u;
            size_t len = (seed >> 16) % 200;
            std::string s;
            for (size_t i = 0; i < len; i++) {
                seed = seed * 1103515245u + 12345u;
                // Mostly plain bytes, so that the line feed comes late.
                unsigned r = (seed >> 16) % 64;
                s.push_back(r < sizeof alphabet ? alphabet[r] : 'a');
            }
            // Now and then the escape itself somewhere.
            if (len > 6 && round % 3 == 0) s.replace((seed >> 8) % (len - 5), 6, "\\u0000");
            int want_marks, marks = 0;
            size_t want = plain(s, &want_marks);
            EXPECT_EQ(line_scan(s.data(), s.size(), &marks), want) << round;
            EXPECT_EQ(marks, want_marks) << round;
        }
    }
    line_scan_set_width(used_before);
}

// The search in texts longer than the sixteen places it tries at once: the
// needle at every place, in either case, beside the bytes around the letters
// ('@', '[', '`', '{') and bytes from 0x80 up, against the plain rule.
TEST(StrIcontains, LongTextsMatchTheByteByByteRule) {
    auto fold_s = [](std::string s) {
        for (char &c : s)
            if (c >= 'A' && c <= 'Z') c = (char)(c + 32);
        return s;
    };
    const char *needles[] = {"q", "Qz", "a@Z", "[`{", "x\xc3\x89y", "TAG00042", "needle at the end"};
    const std::string filler = "@[`{\xc3\xa9\x80\xff zZaA";
    for (const char *nd : needles) {
        std::string needle = nd;
        for (size_t len = needle.size(); len <= 50; len += 7) {
            for (size_t pos = 0; pos + needle.size() <= len; pos++) {
                std::string hay;
                while (hay.size() < len) hay += filler;
                hay.resize(len);
                std::string put = needle;
                for (size_t k = 0; k < put.size(); k++)
                    if ((k + pos) % 2 && put[k] >= 'a' && put[k] <= 'z') put[k] = (char)(put[k] - 32);
                hay.replace(pos, put.size(), put);
                bool want = fold_s(hay).find(fold_s(needle)) != std::string::npos;
                ASSERT_TRUE(want);
                EXPECT_EQ(str_icontains(hay.c_str(), needle.c_str()), 1) << nd << " at " << pos << " of " << len;
                // The same text with the needle's last byte changed.
                std::string miss = hay;
                miss[pos + put.size() - 1] = '\x01';
                want = fold_s(miss).find(fold_s(needle)) != std::string::npos;
                EXPECT_EQ(str_icontains(miss.c_str(), needle.c_str()), want ? 1 : 0) << nd << " at " << pos;
            }
        }
    }
}
