// CPU descriptors: vendor and brand from /proc/cpuinfo (decoded from the
// implementer and part codes on ARM), and the current clock rate of each CPU.
#include "hoststats/cpuinfo.hpp"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>
#include <utility>

#include "hoststats/file_read.hpp"
#include "hoststats/numbers.hpp"
#include "hoststats/text.hpp"

namespace hoststats {

namespace {

// --- ARM implementer and part codes ----------------------------------------
// The codes are the "CPU implementer" and "CPU part" fields of the main ID
// register as the kernel prints them.

struct Implementer {
    std::uint32_t code;
    std::string_view name;
};

struct Part {
    std::uint32_t implementer;
    std::uint32_t code;
    std::string_view name;
};

constexpr std::array<Implementer, 18> IMPLEMENTERS{{
    {0x41, "ARM"},
    {0x42, "Broadcom"},
    {0x43, "Cavium"},
    {0x44, "DEC"},
    {0x46, "FUJITSU"},
    {0x48, "HiSilicon"},
    {0x49, "Infineon"},
    {0x4d, "Motorola/Freescale"},
    {0x4e, "NVIDIA"},
    {0x50, "APM"},
    {0x51, "Qualcomm"},
    {0x53, "Samsung"},
    {0x56, "Marvell"},
    {0x61, "Apple"},
    {0x66, "Faraday"},
    {0x69, "Intel"},
    {0x70, "Phytium"},
    {0xc0, "Ampere"},
}};

// Sorted by (implementer, code) for binary search.
constexpr std::array<Part, 148> PARTS{{
    // ARM
    {0x41, 0x810, "ARM810"},
    {0x41, 0x920, "ARM920"},
    {0x41, 0x922, "ARM922"},
    {0x41, 0x926, "ARM926"},
    {0x41, 0x940, "ARM940"},
    {0x41, 0x946, "ARM946"},
    {0x41, 0x966, "ARM966"},
    {0x41, 0xa20, "ARM1020"},
    {0x41, 0xa22, "ARM1022"},
    {0x41, 0xa26, "ARM1026"},
    {0x41, 0xb02, "ARM11 MPCore"},
    {0x41, 0xb36, "ARM1136"},
    {0x41, 0xb56, "ARM1156"},
    {0x41, 0xb76, "ARM1176"},
    {0x41, 0xc05, "Cortex-A5"},
    {0x41, 0xc07, "Cortex-A7"},
    {0x41, 0xc08, "Cortex-A8"},
    {0x41, 0xc09, "Cortex-A9"},
    {0x41, 0xc0d, "Cortex-A17"},
    {0x41, 0xc0e, "Cortex-A17"},
    {0x41, 0xc0f, "Cortex-A15"},
    {0x41, 0xc14, "Cortex-R4"},
    {0x41, 0xc15, "Cortex-R5"},
    {0x41, 0xc17, "Cortex-R7"},
    {0x41, 0xc18, "Cortex-R8"},
    {0x41, 0xc20, "Cortex-M0"},
    {0x41, 0xc21, "Cortex-M1"},
    {0x41, 0xc23, "Cortex-M3"},
    {0x41, 0xc24, "Cortex-M4"},
    {0x41, 0xc27, "Cortex-M7"},
    {0x41, 0xc60, "Cortex-M0+"},
    {0x41, 0xd01, "Cortex-A32"},
    {0x41, 0xd02, "Cortex-A34"},
    {0x41, 0xd03, "Cortex-A53"},
    {0x41, 0xd04, "Cortex-A35"},
    {0x41, 0xd05, "Cortex-A55"},
    {0x41, 0xd06, "Cortex-A65"},
    {0x41, 0xd07, "Cortex-A57"},
    {0x41, 0xd08, "Cortex-A72"},
    {0x41, 0xd09, "Cortex-A73"},
    {0x41, 0xd0a, "Cortex-A75"},
    {0x41, 0xd0b, "Cortex-A76"},
    {0x41, 0xd0c, "Neoverse-N1"},
    {0x41, 0xd0d, "Cortex-A77"},
    {0x41, 0xd0e, "Cortex-A76AE"},
    {0x41, 0xd13, "Cortex-R52"},
    {0x41, 0xd15, "Cortex-R82"},
    {0x41, 0xd16, "Cortex-R52+"},
    {0x41, 0xd20, "Cortex-M23"},
    {0x41, 0xd21, "Cortex-M33"},
    {0x41, 0xd22, "Cortex-R55"},
    {0x41, 0xd23, "Cortex-R85"},
    {0x41, 0xd40, "Neoverse-V1"},
    {0x41, 0xd41, "Cortex-A78"},
    {0x41, 0xd42, "Cortex-A78AE"},
    {0x41, 0xd43, "Cortex-A65AE"},
    {0x41, 0xd44, "Cortex-X1"},
    {0x41, 0xd46, "Cortex-A510"},
    {0x41, 0xd47, "Cortex-A710"},
    {0x41, 0xd48, "Cortex-X2"},
    {0x41, 0xd49, "Neoverse-N2"},
    {0x41, 0xd4a, "Neoverse-E1"},
    {0x41, 0xd4b, "Cortex-A78C"},
    {0x41, 0xd4c, "Cortex-X1C"},
    {0x41, 0xd4d, "Cortex-A715"},
    {0x41, 0xd4e, "Cortex-X3"},
    {0x41, 0xd4f, "Neoverse-V2"},
    {0x41, 0xd80, "Cortex-A520"},
    {0x41, 0xd81, "Cortex-A720"},
    {0x41, 0xd82, "Cortex-X4"},
    {0x41, 0xd84, "Neoverse-V3"},
    {0x41, 0xd85, "Cortex-X925"},
    {0x41, 0xd87, "Cortex-A725"},
    {0x41, 0xd8e, "Neoverse-N3"},
    // Broadcom
    {0x42, 0x00f, "Brahma-B15"},
    {0x42, 0x100, "Brahma-B53"},
    {0x42, 0x516, "ThunderX2"},
    // Cavium
    {0x43, 0x0a0, "ThunderX"},
    {0x43, 0x0a1, "ThunderX-88XX"},
    {0x43, 0x0a2, "ThunderX-81XX"},
    {0x43, 0x0a3, "ThunderX-83XX"},
    {0x43, 0x0af, "ThunderX2-99xx"},
    // DEC
    {0x44, 0xa10, "SA110"},
    {0x44, 0xa11, "SA1100"},
    // FUJITSU
    {0x46, 0x001, "A64FX"},
    // HiSilicon
    {0x48, 0xd01, "Kunpeng-920"},
    // NVIDIA
    {0x4e, 0x000, "Denver"},
    {0x4e, 0x003, "Denver 2"},
    {0x4e, 0x004, "Carmel"},
    // APM
    {0x50, 0x000, "X-Gene"},
    // Qualcomm
    {0x51, 0x00f, "Scorpion"},
    {0x51, 0x02d, "Scorpion"},
    {0x51, 0x04d, "Krait"},
    {0x51, 0x06f, "Krait"},
    {0x51, 0x201, "Kryo"},
    {0x51, 0x205, "Kryo"},
    {0x51, 0x211, "Kryo"},
    {0x51, 0x800, "Falkor-V1/Kryo"},
    {0x51, 0x801, "Kryo-V2"},
    {0x51, 0x802, "Kryo-3XX-Gold"},
    {0x51, 0x803, "Kryo-3XX-Silver"},
    {0x51, 0x804, "Kryo-4XX-Gold"},
    {0x51, 0x805, "Kryo-4XX-Silver"},
    {0x51, 0xc00, "Falkor"},
    {0x51, 0xc01, "Saphira"},
    // Samsung
    {0x53, 0x001, "exynos-m1"},
    // Marvell
    {0x56, 0x131, "Feroceon-88FR131"},
    {0x56, 0x581, "PJ4/PJ4b"},
    {0x56, 0x584, "PJ4B-MP"},
    // Apple
    {0x61, 0x020, "Icestorm-A14"},
    {0x61, 0x021, "Firestorm-A14"},
    {0x61, 0x022, "Icestorm-M1"},
    {0x61, 0x023, "Firestorm-M1"},
    {0x61, 0x024, "Icestorm-M1-Pro"},
    {0x61, 0x025, "Firestorm-M1-Pro"},
    {0x61, 0x028, "Icestorm-M1-Max"},
    {0x61, 0x029, "Firestorm-M1-Max"},
    {0x61, 0x030, "Blizzard-A15"},
    {0x61, 0x031, "Avalanche-A15"},
    {0x61, 0x032, "Blizzard-M2"},
    {0x61, 0x033, "Avalanche-M2"},
    // Faraday
    {0x66, 0x526, "FA526"},
    {0x66, 0x626, "FA626"},
    // Intel (XScale and StrongARM)
    {0x69, 0x200, "i80200"},
    {0x69, 0x210, "PXA250A"},
    {0x69, 0x212, "PXA210A"},
    {0x69, 0x242, "i80321-400"},
    {0x69, 0x243, "i80321-600"},
    {0x69, 0x290, "PXA250B/PXA26x"},
    {0x69, 0x292, "PXA210B"},
    {0x69, 0x2c2, "i80321-400-B0"},
    {0x69, 0x2c3, "i80321-600-B0"},
    {0x69, 0x2d0, "PXA250C/PXA255/PXA26x"},
    {0x69, 0x2d2, "PXA210C"},
    {0x69, 0x411, "PXA27x"},
    {0x69, 0x41c, "IPX425-533"},
    {0x69, 0x41d, "IPX425-400"},
    {0x69, 0x41f, "IPX425-266"},
    {0x69, 0x682, "PXA32x"},
    {0x69, 0x683, "PXA930/PXA935"},
    {0x69, 0x688, "PXA30x"},
    {0x69, 0x689, "PXA31x"},
    {0x69, 0xb11, "SA1110"},
    {0x69, 0xc12, "IPX1200"},
    // Phytium
    {0x70, 0x660, "FTC660"},
    {0x70, 0x661, "FTC661"},
    {0x70, 0x662, "FTC662"},
    {0x70, 0x663, "FTC663"},
}};

constexpr bool part_less(const Part& a, const Part& b) noexcept {
    return a.implementer != b.implementer ? a.implementer < b.implementer : a.code < b.code;
}

constexpr bool parts_strictly_sorted() noexcept {
    for (std::size_t i = 1; i < PARTS.size(); ++i) {
        if (!part_less(PARTS[i - 1], PARTS[i])) return false;
    }
    return true;
}
static_assert(parts_strictly_sorted(), "the part table must stay sorted for binary search");

constexpr bool implementers_strictly_sorted() noexcept {
    for (std::size_t i = 1; i < IMPLEMENTERS.size(); ++i) {
        if (IMPLEMENTERS[i - 1].code >= IMPLEMENTERS[i].code) return false;
    }
    return true;
}
static_assert(implementers_strictly_sorted(), "the implementer table must stay sorted");

// --- line rules ---------------------------------------------------------------

constexpr char ascii_lower(char c) noexcept {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether `line` begins with `key` (written in lower case) once its ASCII
// capitals are lowered, and holds something after it. The kernel is not
// consistent about case across architectures ("BogoMIPS" on ARM, "bogomips"
// on x86).
bool begins_with_key(std::string_view line, std::string_view key) noexcept {
    if (line.size() <= key.size()) return false;
    for (std::size_t i = 0; i < key.size(); ++i) {
        if (ascii_lower(line[i]) != key[i]) return false;
    }
    return true;
}

// The text after the last ':' (the whole line if it has none), trimmed.
std::string_view line_value(std::string_view line) noexcept {
    const std::size_t colon = line.rfind(':');
    return trim_unicode(colon == std::string_view::npos ? line : line.substr(colon + 1));
}

bool is_processor_line(std::string_view line) noexcept {
    return trim_unicode(line.substr(0, line.find(':'))) == "processor";
}

// The processor number of a "processor\t: N" line; false for any other line
// or a number that does not parse.
bool processor_number(std::string_view line, std::size_t& index) noexcept {
    if (!is_processor_line(line)) return false;
    const std::size_t first = line.find(':');
    if (first == std::string_view::npos) return false;
    std::string_view rest = line.substr(first + 1);
    rest = rest.substr(0, rest.find(':'));
    return parse_usize(trim_unicode(rest), index);
}

// What one processor block of /proc/cpuinfo says about its CPU.
struct CpuInfo {
    std::size_t index = 0;
    std::optional<std::string_view> vendor_id;
    std::optional<std::string_view> brand;
    std::optional<std::uint32_t> implementer;
    std::optional<std::uint32_t> part;
};

// Reads the lines of a block after its processor line, leaving the cursor on
// the line that ended it.
void read_block(SplitCursor& cursor, CpuInfo& info) {
    std::string_view line;
    while (cursor.peek(line)) {
        if (begins_with_key(line, "vendor_id\t")) {
            info.vendor_id = line_value(line);
        } else if (begins_with_key(line, "model name\t")) {
            info.brand = line_value(line);
        } else if (begins_with_key(line, "cpu implementer\t")) {
            info.implementer = get_hex_value(line);
        } else if (begins_with_key(line, "cpu part\t")) {
            info.part = get_hex_value(line);
        } else if ((info.vendor_id && info.brand) || (info.implementer && info.part) ||
                   is_processor_line(line)) {
            return;
        }
        cursor.advance();
    }
}

CpuDescriptors describe(const CpuInfo& info) {
    if (info.implementer && info.part) {
        // ARM: the codes name the core; a "vendor_id" line is not trusted here.
        std::string vendor(arm_implementer_name(*info.implementer).value_or(std::string_view{}));
        std::string brand;
        if (auto name = arm_part_name(*info.implementer, *info.part)) {
            brand = *name;
        } else if (info.brand) {
            brand = *info.brand;
        }
        return {.vendor_id = std::move(vendor), .brand = std::move(brand)};
    }
    return {.vendor_id = std::string(info.vendor_id.value_or(std::string_view{})),
            .brand = std::string(info.brand.value_or(std::string_view{}))};
}

// Reads a file whole; it must be valid UTF-8. False on any failure.
bool read_text(const std::string& path, std::string& out) {
    return read_utf8_file(AT_FDCWD, path.c_str(), out, 0) == 0;
}

// A decimal floating-point number: one optional sign, then digits with an
// optional fraction and exponent, or one of the words inf, infinity and nan
// in any case. std::from_chars takes neither the '+' nor the words the way
// this grammar does, so both are handled here.
bool parse_f64(std::string_view text, double& out) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return false;

    auto is_word = [text](std::string_view word) noexcept {
        if (text.size() != word.size()) return false;
        for (std::size_t i = 0; i < word.size(); ++i) {
            if (ascii_lower(text[i]) != word[i]) return false;
        }
        return true;
    };
    double value;
    if (is_word("inf") || is_word("infinity")) {
        value = HUGE_VAL;
    } else if (is_word("nan")) {
        value = std::nan("");
    } else {
        // A second sign, or from_chars' own "nan(...)" forms, are not numbers.
        const char c = text.front();
        if (!((c >= '0' && c <= '9') || c == '.')) return false;
        const char* first = text.data();
        const char* last = first + text.size();
        const auto [ptr, ec] = std::from_chars(first, last, value, std::chars_format::general);
        if (ptr != last) return false;
        if (ec == std::errc::result_out_of_range) {
            // from_chars leaves the value alone here; strtod says whether it
            // overflowed (HUGE_VAL) or underflowed (towards 0).
            const std::string copy(text);
            value = std::strtod(copy.c_str(), nullptr);
        } else if (ec != std::errc{}) {
            return false;
        }
    }
    out = negative ? -value : value;
    return true;
}

// Truncates toward zero; negative numbers and NaN give 0, numbers of 2^64 or
// more the largest value.
std::uint64_t saturating_u64(double value) noexcept {
    if (!(value > 0.0)) return 0;
    if (value >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<std::uint64_t>(value);
}

// The MHz figure of one cpuinfo line: the text after its last ':', with
// every "MHz" taken out ("clock\t\t: 1800.000000MHz" on some boards).
std::uint64_t line_frequency(std::string_view line) {
    const std::size_t colon = line.rfind(':');
    std::string_view raw = colon == std::string_view::npos ? line : line.substr(colon + 1);
    std::string cleaned;
    cleaned.reserve(raw.size());
    for (std::size_t pos = 0;;) {
        const std::size_t found = raw.find("MHz", pos);
        if (found == std::string_view::npos) {
            cleaned.append(raw.substr(pos));
            break;
        }
        cleaned.append(raw.substr(pos, found - pos));
        pos = found + 3;
    }
    double value;
    if (!parse_f64(trim_unicode(cleaned), value)) return 0;
    return saturating_u64(value);
}

}  // namespace

std::optional<std::string_view> arm_implementer_name(std::uint32_t implementer) noexcept {
    const auto it = std::lower_bound(
        IMPLEMENTERS.begin(), IMPLEMENTERS.end(), implementer,
        [](const Implementer& entry, std::uint32_t code) { return entry.code < code; });
    if (it == IMPLEMENTERS.end() || it->code != implementer) return std::nullopt;
    return it->name;
}

std::optional<std::string_view> arm_part_name(std::uint32_t implementer,
                                              std::uint32_t part) noexcept {
    const Part key{implementer, part, {}};
    const auto it = std::lower_bound(PARTS.begin(), PARTS.end(), key, part_less);
    if (it == PARTS.end() || it->implementer != implementer || it->code != part) {
        return std::nullopt;
    }
    return it->name;
}

std::uint32_t get_hex_value(std::string_view line) noexcept {
    std::string_view value = line_value(line);
    // The kernel prints these codes with a lower-case "0x".
    if (value.size() < 2 || value[0] != '0' || value[1] != 'x') return 0;
    value.remove_prefix(2);
    if (!value.empty() && value.front() == '+') value.remove_prefix(1);
    std::uint32_t code = 0;
    const char* last = value.data() + value.size();
    const auto [ptr, ec] = std::from_chars(value.data(), last, code, 16);
    if (ec != std::errc{} || ptr != last) return 0;
    return code;
}

DescriptorTable get_vendor_id_and_brand_inner(std::string_view cpuinfo) {
    DescriptorTable table;
    SplitCursor cursor(cpuinfo);
    std::string_view line;
    while (cursor.next(line)) {
        CpuInfo info;
        if (!processor_number(line, info.index)) continue;
        read_block(cursor, info);
        // A processor number seen twice keeps its later block.
        table.insert_or_assign(info.index, describe(info));
    }
    return table;
}

std::uint64_t cpuinfo_frequency(std::string_view cpuinfo) {
    SplitCursor cursor(cpuinfo);
    std::string_view line;
    while (cursor.next(line)) {
        // x86 has "cpu MHz", ARM only "BogoMIPS", some boards "clock".
        if (begins_with_key(line, "cpu mhz\t") || begins_with_key(line, "bogomips") ||
            begins_with_key(line, "clock\t")) {
            return line_frequency(line);
        }
    }
    return 0;
}

std::optional<std::uint64_t> read_sysfs_frequency(const HostRoot& root, std::size_t position) {
    std::string text;
    const std::string path = root.sys + "/devices/system/cpu/cpu" + std::to_string(position) +
                             "/cpufreq/scaling_cur_freq";
    if (!read_text(path, text)) return std::nullopt;
    std::string_view value = trim_unicode(text);
    value = value.substr(0, value.find('\n'));
    std::uint64_t khz;  // the file counts in kHz
    if (!parse_u64(value, khz)) return std::nullopt;
    return khz / 1000;
}

bool read_cpuinfo(const HostRoot& root, std::string& text) {
    return read_text(root.proc + "/cpuinfo", text);
}

}  // namespace hoststats
