// Name prefixes "drv[,opt=val...]:path" and the options they carry.
#include <errno.h>
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <charconv>

#include "vfs_core.h"

namespace vfs
{

namespace
{

// The most skip= or trailer= may pass over: far more than any file header.
constexpr uint64_t margin_max = UINT64_C(1) << 40;

constexpr std::array<std::pair<std::string_view, drv>, 5> ids = {{
    {"oka", drv::oka},
    {"umb", drv::umb},
    {"tev", drv::tev},
    {"dox", drv::dox},
    {"yar", drv::yar},
}};

// A size with an optional k or m suffix, 1 .. max.
bool parse_size(std::string_view v, uint64_t max, uint64_t &out)
{
    uint64_t n = 0;
    auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
    if (ec != std::errc() || p == v.data())
        return false;
    std::string_view rest(p, static_cast<size_t>(v.data() + v.size() - p));
    int shift = rest == "k" ? 10 : rest == "m" ? 20 : 0;
    if ((shift == 0 && !rest.empty()) || n == 0 || n > (max >> shift))
        return false;
    out = n << shift;
    return true;
}

// A size that may also be 0, as a position or a count of bytes to pass over.
bool parse_offset(std::string_view v, uint64_t max, uint64_t &out)
{
    if (v == "0")
        return out = 0, true;
    return parse_size(v, max, out);
}

bool parse_format(std::string_view key, std::string_view val, prefix_options &o)
{
    constexpr std::array<std::pair<std::string_view, char>, 6> fm = {
        {{"f", 'f'}, {"fb", 'F'}, {"v", 'v'}, {"vb", 'V'}, {"vs", 's'}, {"vbs", 'S'}}};
    for (auto [name, c] : fm)
        if (key == "recfm" && val == name) {
            o.recfm_given = true;
            o.recfm = c;
            return true;
        }
    if (key == "varfmt" && val.size() == 1 && val[0] >= '0' && val[0] <= '3') {
        o.varfmt_given = true;
        o.varfmt = static_cast<uint8_t>(val[0] - '0');
        return true;
    }
    if (key == "order" && (val == "be" || val == "le" || val == "native")) {
        o.order_given = true;
        o.big_endian = val == "native" ? host_big_endian() : val == "be";
        return true;
    }
    if (key == "rdwlen" && (val == "total" || val == "data")) {
        o.rdwlen_given = true;
        o.rdw_data = val == "data";
        return true;
    }
    return false;
}

bool parse_sized(std::string_view key, std::string_view val, prefix_options &o)
{
    uint64_t n = 0;
    if (key == "lrecl" && parse_size(val, record_max, n)) {
        o.lrecl_given = true;
        o.lrecl = n;
    } else if (key == "blksize" && parse_size(val, UINT64_C(1) << 31, n)) {
        o.blksize_given = true;
        o.blksize = n;
    } else if (key == "keypos" && parse_offset(val, record_max, n)) {
        o.keypos_given = true;
        o.keypos = static_cast<uint32_t>(n);
    } else if (key == "skip" && parse_offset(val, margin_max, n)) {
        o.skip_given = true;
        o.skip = n;
    } else if (key == "trailer" && parse_offset(val, margin_max, n)) {
        o.trailer_given = true;
        o.trailer = n;
    } else if (key == "keylen" && parse_size(val, VFS_KEYLEN_MAX, n)) {
        o.keylen_given = true;
        o.keylen = static_cast<uint32_t>(n);
    } else {
        return false;
    }
    return true;
}

// Code page options name what iconv knows, or the character that stands in.
bool parse_named(std::string_view key, std::string_view val, prefix_options &o)
{
    std::string *dst = key == "codepage" ? &o.codepage
                       : key == "to"     ? &o.to
                       : key == "subst"  ? &o.subst
                                         : nullptr;
    if (dst == nullptr || val.empty())
        return false;
    *dst = std::string(val);
    return true;
}

bool parse_option(std::string_view opt, prefix_options &o)
{
    size_t eq = opt.find('=');
    std::string_view key = opt.substr(0, eq);
    if (eq == std::string_view::npos && (key == "header" || key == "noheader")) {
        o.header = key == "header";
        return true;
    }
    if (eq == std::string_view::npos)
        return false;
    std::string_view val = opt.substr(eq + 1);
    return parse_format(key, val, o) || parse_sized(key, val, o) || parse_named(key, val, o);
}

} // namespace

bool parse_name(std::string_view name, parsed_name &out, std::string &bad)
{
    out = parsed_name();
    out.path = std::string(name);
    size_t colon = name.find(':');
    if (colon == std::string_view::npos)
        return true;
    std::string_view head = name.substr(0, colon);
    std::string_view id = head.substr(0, head.find(','));
    const auto *hit = std::find_if(ids.begin(), ids.end(), [&](auto &e) { return e.first == id; });
    if (hit == ids.end())
        return true;
    prefix_options o;
    std::string_view opts = head.substr(id.size());
    while (!opts.empty()) {
        opts.remove_prefix(1); // the comma
        std::string_view opt = opts.substr(0, opts.find(','));
        if (o.first.empty())
            o.first = std::string(opt);
        if (!parse_option(opt, o)) {
            bad = std::string(opt);
            return false;
        }
        opts.remove_prefix(opt.size());
    }
    out.prefixed = true;
    out.driver = hit->second;
    out.opts = o;
    out.path = std::string(name.substr(colon + 1));
    return true;
}

bool parse_for_driver(drv d, std::string_view name, parsed_name &out)
{
    std::string bad;
    if (!parse_name(name, out, bad)) {
        set_last_error(bad_option(bad.c_str()));
        return false;
    }
    if (out.prefixed && out.driver != d) {
        errno = EBADF;
        return false;
    }
    out.driver = d;
    return true;
}

} // namespace vfs
