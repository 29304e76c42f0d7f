/*
 * ModinfoCheck.cpp - reads the .modinfo build manifest back out of a built
 * ELF file and checks its layout and contents.
 *
 * The ELF reader is self-contained (32- and 64-bit, either byte order), so
 * the same program checks a native build and, under the emulator, a cross
 * build for the board.  Usage: kx_modinfo_check <ELF file>.  Prints the
 * texts it found; exits 0 when the manifest is right, 1 with one
 * "modinfo: FAIL: ..." line per problem otherwise, 2 on usage errors.
 */
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace {

/* ---- ELF reading -------------------------------------------------------- */

constexpr unsigned kElfClass32 = 1;  /* e_ident[EI_CLASS] */
constexpr unsigned kElfClass64 = 2;
constexpr unsigned kElfDataLsb = 1;  /* e_ident[EI_DATA] */
constexpr unsigned kElfDataMsb = 2;
constexpr uint32_t kShtNobits = 8;   /* section occupies no file space */
constexpr uint32_t kShnXindex = 0xFFFF; /* real e_shstrndx is in section 0 */

struct Section {
    std::string name;
    uint32_t type = 0;
    uint64_t addr = 0;      /* load address (0 in relocatable files) */
    uint64_t offset = 0;    /* file offset of the contents */
    uint64_t size = 0;      /* bytes */
    uint64_t addralign = 0; /* required alignment; 0 and 1 mean none */
};

/* Reads section headers without exceptions: every access is bounds-checked
 * and the first problem is kept in Error(). */
class ElfFile {
  public:
    explicit ElfFile(std::vector<unsigned char> bytes) : bytes_(std::move(bytes)) { Parse(); }

    const std::string &Error() const { return error_; }
    const std::vector<Section> &Sections() const { return sections_; }
    bool Is64() const { return is64_; }
    bool IsLsb() const { return lsb_; }

    /* The contents of a section, or an empty view when out of bounds. */
    std::string_view Contents(const Section &sec) const
    {
        if (sec.type == kShtNobits || !InBounds(sec.offset, sec.size))
            return {};
        return {reinterpret_cast<const char *>(bytes_.data()) + sec.offset,
                static_cast<size_t>(sec.size)};
    }

  private:
    bool InBounds(uint64_t off, uint64_t len) const
    {
        return off <= bytes_.size() && len <= bytes_.size() - off;
    }

    /* An unsigned field of n bytes at off, in the file's byte order. */
    uint64_t Field(uint64_t off, unsigned n)
    {
        if (!InBounds(off, n)) {
            Fail("field beyond end of file");
            return 0;
        }
        uint64_t v = 0;
        for (unsigned i = 0; i < n; i++) {
            unsigned shift = lsb_ ? 8 * i : 8 * (n - 1 - i);
            v |= static_cast<uint64_t>(bytes_[off + i]) << shift;
        }
        return v;
    }
    /* A word-sized field: 4 bytes in 32-bit files, 8 in 64-bit ones. */
    uint64_t Addr(uint64_t off) { return Field(off, is64_ ? 8 : 4); }

    void Fail(const char *pWhat)
    {
        if (error_.empty())
            error_ = pWhat;
    }

    void Parse()
    {
        if (bytes_.size() < 16 || bytes_[0] != 0x7F || bytes_[1] != 'E' || bytes_[2] != 'L' ||
            bytes_[3] != 'F') {
            Fail("not an ELF file");
            return;
        }
        if (bytes_[4] != kElfClass32 && bytes_[4] != kElfClass64) {
            Fail("unknown ELF class");
            return;
        }
        if (bytes_[5] != kElfDataLsb && bytes_[5] != kElfDataMsb) {
            Fail("unknown ELF byte order");
            return;
        }
        is64_ = bytes_[4] == kElfClass64;
        lsb_ = bytes_[5] == kElfDataLsb;

        /* ELF header fields after e_ident (16 bytes), e_type, e_machine,
         * e_version (2 + 2 + 4) and e_entry, e_phoff (two words). */
        const uint64_t word = is64_ ? 8 : 4;
        const uint64_t shoffAt = 24 + 2 * word;
        const uint64_t shoff = Addr(shoffAt);
        const uint64_t afterShoff = shoffAt + word + 4; /* skip e_flags */
        /* e_ehsize, e_phentsize, e_phnum, then these three. */
        const uint64_t shentsize = Field(afterShoff + 6, 2);
        uint64_t shnum = Field(afterShoff + 8, 2);
        uint64_t shstrndx = Field(afterShoff + 10, 2);
        if (!error_.empty())
            return;
        if (shoff == 0) {
            Fail("file has no section headers");
            return;
        }
        const uint64_t minEntsize = is64_ ? 64 : 40;
        if (shentsize < minEntsize) {
            Fail("section header entries too small");
            return;
        }

        std::vector<uint64_t> nameOffsets;
        auto readHeader = [&](uint64_t index, Section &sec, uint64_t &nameOff, uint64_t &link) {
            const uint64_t at = shoff + index * shentsize;
            nameOff = Field(at, 4);
            sec.type = static_cast<uint32_t>(Field(at + 4, 4));
            /* sh_flags is a word; then addr, offset, size (words in 64-bit
             * files, 4 bytes in 32-bit ones); then link, info (4 each). */
            sec.addr = Addr(at + 8 + word);
            sec.offset = Addr(at + 8 + 2 * word);
            sec.size = Addr(at + 8 + 3 * word);
            link = Field(at + 8 + 4 * word, 4);
            sec.addralign = Addr(at + 8 + 4 * word + 8);
        };

        /* Large section counts live in section 0 (sh_size, sh_link). */
        Section first;
        uint64_t firstName = 0;
        uint64_t firstLink = 0;
        readHeader(0, first, firstName, firstLink);
        if (shnum == 0)
            shnum = first.size;
        if (shstrndx == kShnXindex)
            shstrndx = firstLink;
        if (!error_.empty())
            return;
        if (shnum > bytes_.size() / shentsize) {
            Fail("section count larger than the file");
            return;
        }
        if (shstrndx >= shnum) {
            Fail("section name table index out of range");
            return;
        }

        for (uint64_t i = 0; i < shnum; i++) {
            Section sec;
            uint64_t nameOff = 0;
            uint64_t link = 0;
            readHeader(i, sec, nameOff, link);
            sections_.push_back(sec);
            nameOffsets.push_back(nameOff);
        }
        if (!error_.empty())
            return;

        const std::string_view names = Contents(sections_[shstrndx]);
        if (names.empty()) {
            Fail("section name table unreadable");
            return;
        }
        for (size_t i = 0; i < sections_.size(); i++) {
            const uint64_t off = nameOffsets[i];
            if (off >= names.size()) {
                Fail("section name beyond the name table");
                return;
            }
            const size_t end = names.find('\0', off);
            if (end == std::string_view::npos) {
                Fail("section name not terminated");
                return;
            }
            sections_[i].name = std::string(names.substr(off, end - off));
        }
    }

    std::vector<unsigned char> bytes_;
    std::vector<Section> sections_;
    std::string error_;
    bool is64_ = false;
    bool lsb_ = true;
};

/* ---- Manifest checks ---------------------------------------------------- */

/* ORDER: the texts of the manifest, as the build writes them. */
constexpr std::string_view kKeys[] = {"productversion", "builddate", "buildtime", "builduser",
                                      "buildhost"};
constexpr std::string_view kProductVersion = "dev";
constexpr uint64_t kTextAlign = 4; /* every text starts on this boundary */

int gnFailures = 0;

void Fail(const std::string &what)
{
    std::printf("modinfo: FAIL: %s\n", what.c_str());
    gnFailures++;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

/* Two decimal digits at pos as a number, or -1. */
int TwoDigits(std::string_view s, size_t pos)
{
    if (pos + 2 > s.size() || !IsDigit(s[pos]) || !IsDigit(s[pos + 1]))
        return -1;
    return (s[pos] - '0') * 10 + (s[pos + 1] - '0');
}

/* "Mon DD YYYY": English month abbreviation, two-digit day, four-digit year. */
bool IsBuildDate(std::string_view s)
{
    static constexpr std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (s.size() != 11 || s[3] != ' ' || s[6] != ' ')
        return false;
    bool monthOk = false;
    for (std::string_view m : kMonths)
        monthOk = monthOk || s.substr(0, 3) == m;
    const int day = TwoDigits(s, 4);
    const int century = TwoDigits(s, 7);
    const int year = TwoDigits(s, 9);
    return monthOk && day >= 1 && day <= 31 && century >= 19 && year >= 0;
}

/* "HH:MM:SS", 24-hour clock (60 seconds allowed for a leap second). */
bool IsBuildTime(std::string_view s)
{
    if (s.size() != 8 || s[2] != ':' || s[5] != ':')
        return false;
    const int h = TwoDigits(s, 0);
    const int m = TwoDigits(s, 3);
    const int sec = TwoDigits(s, 6);
    return h >= 0 && h <= 23 && m >= 0 && m <= 59 && sec >= 0 && sec <= 60;
}

/* Non-empty and free of control characters and blanks. */
bool IsName(std::string_view s)
{
    if (s.empty())
        return false;
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F)
            return false;
    }
    return true;
}

void CheckValue(std::string_view key, std::string_view value)
{
    const std::string k(key);
    const std::string v(value);
    if (key == "productversion" && value != kProductVersion)
        Fail("productversion is \"" + v + "\", expected \"" + std::string(kProductVersion) + "\"");
    else if (key == "builddate" && !IsBuildDate(value))
        Fail("builddate \"" + v + "\" is not of the form \"Mon DD YYYY\"");
    else if (key == "buildtime" && !IsBuildTime(value))
        Fail("buildtime \"" + v + "\" is not of the form \"HH:MM:SS\"");
    else if ((key == "builduser" || key == "buildhost") && !IsName(value))
        Fail(k + " \"" + v + "\" is empty or holds blanks or control characters");
}

/*
 * Walks the section: each text, its NUL, then only NULs up to the next
 * 4-byte boundary, where the next text starts; the section ends at the
 * boundary after the last text.
 */
void CheckManifest(std::string_view data)
{
    uint64_t pos = 0; /* start of the current text; always a multiple of 4 */
    for (std::string_view key : kKeys) {
        const std::string k(key);
        if (pos >= data.size()) {
            Fail("section ends before the " + k + " text");
            return;
        }
        const size_t nul = data.find('\0', pos);
        if (nul == std::string_view::npos) {
            Fail("the text at offset " + std::to_string(pos) + " is not NUL-terminated");
            return;
        }
        const std::string_view text = data.substr(pos, nul - pos);
        std::printf("modinfo: %3llu: %.*s\n", static_cast<unsigned long long>(pos),
                    static_cast<int>(text.size()), text.data());
        const size_t eq = text.find('=');
        if (eq == std::string_view::npos || text.substr(0, eq) != key) {
            Fail("expected a " + k + "= text at offset " + std::to_string(pos) + ", found \"" +
                 std::string(text) + "\"");
            return;
        }
        CheckValue(key, text.substr(eq + 1));

        const uint64_t next = (nul + 1 + kTextAlign - 1) / kTextAlign * kTextAlign;
        for (uint64_t i = nul + 1; i < next && i < data.size(); i++) {
            if (data[i] != '\0') {
                Fail("byte " + std::to_string(i) + " after the " + k +
                     " text is not NUL: texts must be padded with NULs so that each "
                     "starts on a 4-byte boundary");
                return;
            }
        }
        pos = next;
    }
    if (pos < data.size()) {
        const bool allNul = data.find_first_not_of('\0', pos) == std::string_view::npos;
        Fail(std::to_string(data.size() - pos) + (allNul ? " NUL" : "") +
             " bytes follow the buildhost text; the manifest must end there with its "
             "five texts");
    }
}

bool ReadFile(const char *pPath, std::vector<unsigned char> &bytes)
{
    std::ifstream in(pPath, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <ELF file>\n", argc > 0 ? argv[0] : "kx_modinfo_check");
        return 2;
    }
    std::vector<unsigned char> bytes;
    if (!ReadFile(argv[1], bytes)) {
        Fail(std::string("cannot read ") + argv[1]);
        return 1;
    }
    const ElfFile elf(std::move(bytes));
    if (!elf.Error().empty()) {
        Fail(std::string(argv[1]) + ": " + elf.Error());
        return 1;
    }
    std::printf("modinfo: %s: ELF%d, %s-endian, %zu sections\n", argv[1], elf.Is64() ? 64 : 32,
                elf.IsLsb() ? "little" : "big", elf.Sections().size());

    const Section *pManifest = nullptr;
    for (const Section &sec : elf.Sections()) {
        if (sec.name != ".modinfo")
            continue;
        if (pManifest != nullptr) {
            Fail("more than one .modinfo section");
            return 1;
        }
        pManifest = &sec;
    }
    if (pManifest == nullptr) {
        Fail("no .modinfo section");
        return 1;
    }
    if (pManifest->type == kShtNobits || pManifest->size == 0) {
        Fail(".modinfo section holds no data");
        return 1;
    }
    if (pManifest->addralign < kTextAlign)
        Fail(".modinfo section alignment is " + std::to_string(pManifest->addralign) +
             ", less than 4");
    if (pManifest->addr % kTextAlign != 0)
        Fail(".modinfo section address is not 4-byte aligned");
    const std::string_view data = elf.Contents(*pManifest);
    if (data.size() != pManifest->size) {
        Fail(".modinfo section extends beyond the end of the file");
        return 1;
    }
    CheckManifest(data);

    if (gnFailures != 0)
        return 1;
    std::printf("modinfo: manifest OK\n");
    return 0;
}
