#ifndef VSP_PORT_CHANNEL_H
#define VSP_PORT_CHANNEL_H
/* The control channel beside a virtual port: what a program's line-setting, modem-line
 * and break calls become when the vsp preload library (vsp-run) catches them. A pty keeps
 * no data size, no parity, no modem lines and no break, so the library tells the port
 * manager instead, over a Unix socket in the port folder.
 *
 * One request per connection, one text line each way, so that a request is never cut or
 * mixed with another program's:
 *   "L <bits> <parity>\n"   data bits 5..8, parity 0 none 1 odd 2 even 3 mark 4 space,
 *                           told before the line setting goes to the pty
 *   "S\n"                   the line setting has gone to the pty: report it
 *   "M <set> <clear>\n"     modem lines to raise and to lower, TIOCM_* bits (DTR, RTS)
 *   "B <0|1>\n"             break condition on or off
 *   "G\n"                   only the answer is wanted
 * Answer: "OK <lines>\n", the port's modem lines as TIOCMGET gives them (DTR and RTS as
 * the program set them, CTS, DSR, RI and CD as the module reported them), or "NO\n".
 *
 * Plain C with everything inline: the preload library is C and must not pull a C++
 * runtime into every program it is loaded into; the port manager includes it as it is. */

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    VSP_CHANNEL_LINE_MAX = 64, /* one request or answer, newline included */
    /* The modem lines, as TIOCM_* numbers them (the library hands them to ioctl as they are). */
    VSP_TIOCM_DTR = 0x002,
    VSP_TIOCM_RTS = 0x004,
    VSP_TIOCM_CTS = 0x020,
    VSP_TIOCM_CD = 0x040,
    VSP_TIOCM_RI = 0x080,
    VSP_TIOCM_DSR = 0x100,
    VSP_TIOCM_OUTPUTS = VSP_TIOCM_DTR | VSP_TIOCM_RTS,
    VSP_TIOCM_INPUTS = VSP_TIOCM_CTS | VSP_TIOCM_CD | VSP_TIOCM_RI | VSP_TIOCM_DSR
};

typedef struct vsp_channel_request {
    char kind; /* 'L', 'S', 'M', 'B', 'G' */
    int a; /* L: data bits; M: lines to raise; B: 1 on, 0 off */
    int b; /* L: parity; M: lines to lower */
} vsp_channel_request;

/* The channel's socket is named after the pty it serves ("/dev/pts/<index>"), in the
 * folder where bare port names go, so that a program finds it from the descriptor alone,
 * whatever name or path it opened the port by. */
#define VSP_CHANNEL_PREFIX ".vsp-pts"
#define VSP_CHANNEL_SUFFIX ".ctl"

/* Reads a decimal number of at most 9 digits, without leading zeros (one line, one
 * reading), at *p; advances past it. 0: none there. */
static inline int vsp_channel_number(const char** p, const char* end, int* value)
{
    int v = 0, digits = 0;
    if (*p + 1 < end && (*p)[0] == '0' && (*p)[1] >= '0' && (*p)[1] <= '9') return 0;
    while (*p < end && **p >= '0' && **p <= '9' && digits < 9) {
        v = v * 10 + (**p - '0');
        ++*p;
        ++digits;
    }
    if (digits == 0 || (*p < end && **p >= '0' && **p <= '9')) return 0;
    *value = v;
    return 1;
}

/* The line must end with its newline and hold nothing else. */
static inline int vsp_channel_end(const char* p, const char* end)
{
    return p + 1 == end && *p == '\n';
}

/* Appends a decimal number (0..999999999); 0 when it does not fit in size. */
static inline int vsp_channel_put_number(char* out, size_t size, size_t* n, int v)
{
    char digits[12];
    int d = 0;
    if (v < 0 || v > 999999999) return 0;
    do {
        digits[d++] = (char)('0' + v % 10);
        v /= 10;
    } while (v > 0);
    if (*n + (size_t)d > size) return 0;
    while (d > 0)
        out[(*n)++] = digits[--d];
    return 1;
}

/* Formats a request; returns its length, or 0 when it does not fit. */
static inline size_t vsp_channel_format(const vsp_channel_request* r, char* out, size_t size)
{
    size_t n = 0;
    if (size < 2) return 0;
    out[n++] = r->kind;
    if (r->kind == 'L' || r->kind == 'M' || r->kind == 'B') {
        out[n++] = ' ';
        if (!vsp_channel_put_number(out, size, &n, r->kind == 'B' ? (r->a ? 1 : 0) : r->a))
            return 0;
    }
    if (r->kind == 'L' || r->kind == 'M') {
        if (n >= size) return 0;
        out[n++] = ' ';
        if (!vsp_channel_put_number(out, size, &n, r->b)) return 0;
    }
    if (n >= size) return 0;
    out[n++] = '\n';
    return n;
}

/* Parses one request line (newline included). 1: valid, 0: not a request. */
static inline int vsp_channel_parse_request(const char* text, size_t length, vsp_channel_request* r)
{
    const char* p = text;
    const char* end = text + length;
    if (length < 2 || length > VSP_CHANNEL_LINE_MAX) return 0;
    r->kind = *p++;
    r->a = r->b = 0;
    switch (r->kind) {
    case 'G':
    case 'S':
        return vsp_channel_end(p, end);
    case 'B':
        if (p == end || *p++ != ' ' || !vsp_channel_number(&p, end, &r->a) || r->a > 1) return 0;
        return vsp_channel_end(p, end);
    case 'L':
    case 'M':
        if (p == end || *p++ != ' ' || !vsp_channel_number(&p, end, &r->a)) return 0;
        if (p == end || *p++ != ' ' || !vsp_channel_number(&p, end, &r->b)) return 0;
        if (!vsp_channel_end(p, end)) return 0;
        if (r->kind == 'L') return r->a >= 5 && r->a <= 8 && r->b >= 0 && r->b <= 4;
        return ((r->a | r->b) & ~VSP_TIOCM_OUTPUTS) == 0;
    default:
        return 0;
    }
}

/* Formats the answer: "OK <lines>\n", or "NO\n" when lines is negative. 0: no room. */
static inline size_t vsp_channel_format_answer(int lines, char* out, size_t size)
{
    size_t n = 0;
    if (size < 4) return 0;
    if (lines < 0) {
        out[n++] = 'N';
        out[n++] = 'O';
    } else {
        out[n++] = 'O';
        out[n++] = 'K';
        out[n++] = ' ';
        if (!vsp_channel_put_number(out, size, &n, lines)) return 0;
    }
    if (n >= size) return 0;
    out[n++] = '\n';
    return n;
}

/* Parses an answer. 1: "OK" with the lines, 0: "NO" or anything else. */
static inline int vsp_channel_parse_answer(const char* text, size_t length, int* lines)
{
    const char* p = text;
    const char* end = text + length;
    if (length < 5 || length > VSP_CHANNEL_LINE_MAX || p[0] != 'O' || p[1] != 'K' || p[2] != ' ')
        return 0;
    p += 3;
    if (!vsp_channel_number(&p, end, lines)) return 0;
    return vsp_channel_end(p, end);
}

#ifdef __cplusplus
}
#endif

#endif
