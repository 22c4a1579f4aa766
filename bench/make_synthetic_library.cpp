// make_synthetic_library.cpp
//
// Generates a large, realistic, deterministic iTunes-style library file
// ("iTunes Music Library.xml") plus one empty file per track, for Brisle
// benchmarks and stress tests.
//
// Usage:
//   make_synthetic_library OUTDIR [--tracks N] [--albums M] [--playlists P]
//                          [--seed S] [--no-files]
//
// Defaults: N=100000, M=8000 (N*0.08 when only --tracks is given), P=500, S=1.
//
// Layout of OUTDIR:
//   OUTDIR/iTunes Music Library.xml
//   OUTDIR/files/<Artist>/<Album>/<NN Name>.<ext>      (regular albums)
//   OUTDIR/files/<Artist>/<Album>/<D-NN Name>.<ext>    (multi-disc albums)
//   OUTDIR/files/Compilations/<Album>/<NN Name>.<ext>  (compilations)
//   OUTDIR/files/Podcasts/<Show>/<Episode>.mp3         (podcasts)
//
// Output depends only on the arguments and on the absolute path of OUTDIR
// (which appears in every "Location"). Standard library + POSIX only.
//
// Build: g++ -O2 -std=c++20 make_synthetic_library.cpp -o make_synthetic_library
// (uses std::thread to create files while the XML is written; on older
// glibc add -pthread).

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// ---------------------------------------------------------------------------
// Deterministic random numbers (splitmix64; identical on every platform,
// unlike std:: distributions).
// ---------------------------------------------------------------------------
constexpr uint64_t mix64(uint64_t z)
{
    // splitmix64 finaliser: a bijection on 64-bit values.
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

struct Rng {
    uint64_t s;
    explicit Rng(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ULL + 0x632BE59BD9B4E019ULL) {}
    uint64_t next()
    {
        s += 0x9E3779B97F4A7C15ULL;
        return mix64(s);
    }
    // Uniform in [0, n).
    uint32_t below(uint32_t n) { return n ? uint32_t((uint64_t(uint32_t(next() >> 32)) * n) >> 32) : 0; }
    // Uniform in [lo, hi].
    int64_t range(int64_t lo, int64_t hi) { return lo + int64_t(next() % uint64_t(hi - lo + 1)); }
    double unit() { return double(next() >> 11) * 0x1.0p-53; }
    bool chance(double p) { return unit() < p; }
    template <class T, size_t K> const T &pick(const T (&a)[K]) { return a[below(K)]; }
};

// ---------------------------------------------------------------------------
// Word lists
// ---------------------------------------------------------------------------
const char *const kAdj[] = {
    "Black", "Blue", "Broken", "Burning", "Crimson", "Dark", "Electric", "Empty", "Endless", "Falling",
    "Final", "Frozen", "Golden", "Hidden", "Hollow", "Lonely", "Lost", "Midnight", "Neon", "Paper",
    "Quiet", "Restless", "Secret", "Silver", "Silent", "Sweet", "Velvet", "Wild", "Wicked", "Young",
    "Bitter", "Brave", "Cold", "Crazy", "Distant", "Easy", "Faded", "Fragile", "Glass", "Heavy",
    "High", "Holy", "Little", "Lucky", "Mellow", "Northern", "Painted", "Perfect", "Purple", "Red",
    "Rusty", "Sacred", "Shining", "Simple", "Southern", "Strange", "Sudden", "Summer", "Tender", "Twisted",
    "Violet", "Wasted", "Winter", "Wooden", "Ancient", "Bright", "Careless", "Cosmic", "Dusty", "Early",
    "Fading", "Gentle", "Hungry", "Invisible", "Last", "Magnetic", "Modern", "Open", "Pale", "Rolling",
};
const char *const kNoun[] = {
    "Angel", "Avenue", "Bird", "Blood", "Bones", "Bridge", "Candle", "City", "Cloud", "Crown",
    "Dance", "Dawn", "Desert", "Diamond", "Dream", "Echo", "Engine", "Fire", "Flower", "Garden",
    "Ghost", "Harbor", "Heart", "Highway", "Horizon", "House", "Island", "Kingdom", "Lake", "Light",
    "Lion", "Machine", "Mirror", "Moon", "Morning", "Mountain", "Night", "Ocean", "Orchard", "Paradise",
    "Planet", "Radio", "Rain", "River", "Road", "Rose", "Shadow", "Ship", "Sky", "Smoke",
    "Snow", "Song", "Sparrow", "Star", "Stone", "Storm", "Street", "Sun", "Thunder", "Tide",
    "Train", "Valley", "Voice", "Wave", "Wind", "Window", "Wolf", "World", "Youth", "Letter",
    "Summer", "Fever", "Memory", "Satellite", "Carousel", "Lantern", "Compass", "Circus", "Feather", "Signal",
};
const char *const kPlural[] = {
    "Wolves", "Ravens", "Kings", "Strangers", "Pilots", "Horses", "Lions", "Thieves", "Sailors", "Ghosts",
    "Machines", "Saints", "Rebels", "Shadows", "Brothers", "Sisters", "Giants", "Drifters", "Lovers", "Foxes",
    "Hearts", "Engines", "Comets", "Strings", "Owls", "Tigers", "Vandals", "Dreamers", "Riders", "Monks",
};
const char *const kGerund[] = {
    "Dancing", "Running", "Waiting", "Falling", "Dreaming", "Walking", "Singing", "Burning", "Drowning", "Flying",
    "Driving", "Hiding", "Shining", "Crying", "Sleeping", "Breaking", "Chasing", "Fading", "Rising", "Wandering",
};
const char *const kPhrase[] = {
    "Don't Let Go", "Say Goodbye", "Come Home", "Hold On", "Take Me Back", "Let It Burn", "What Now?",
    "Why?", "Where Are You?", "Stay", "Run Away", "Tell Me Everything", "I Can't Sleep", "All I Want",
    "One More Time", "Never Again", "Wake Up", "Keep Moving", "It's Over", "Don't Look Down",
    "Rock 'n' Roll Tonight", "Love & Hate", "Who Knows?", "Here We Go", "Nothing Left", "Go!",
};
const char *const kAccented[] = {
    "Café", "Mañana", "Déjà Vu", "Noël", "Señorita", "Fiancée", "Naïve", "Über", "Zürich", "São Paulo",
    "Crème Brûlée", "Façade", "Kraków", "Résumé", "Piñata", "Jalapeño", "Smörgåsbord", "Ångström", "Göteborg",
    "Reykjavík", "Besançon", "Málaga", "Sérénade", "Rêverie", "Mélodie", "Coração", "Niño", "Élan", "Öresund",
    "Bohème",
};
const char *const kExotic[] = {
    "Москва", "Любовь", "Звезда", "東京", "夜明け", "さくら", "Αγάπη", "Θάλασσα", "사랑", "北京の夜", "Ночь", "Ωκεανός",
};
const char *const kFirst[] = {
    "John", "Mary", "David", "Sarah", "Michael", "Emma", "James", "Laura", "Robert", "Anna",
    "Daniel", "Julia", "Thomas", "Grace", "Peter", "Nina", "Samuel", "Clara", "Oliver", "Lucy",
    "Marcus", "Ella", "Victor", "Ruby", "Henry", "Iris", "Felix", "Maya", "Leo", "Ava",
};
const char *const kFirstIntl[] = {
    "José", "Zoë", "Björn", "Chloé", "Renée", "Søren", "François", "Jürgen", "Łukasz", "Inès",
};
const char *const kLast[] = {
    "Smith", "Johnson", "Brown", "Taylor", "Miller", "Wilson", "Moore", "Anderson", "Jackson", "White",
    "Harris", "Martin", "Thompson", "Walker", "Young", "Allen", "King", "Wright", "Hill", "Green",
    "Baker", "Carter", "Turner", "Parker", "Collins", "Stewart", "Morris", "Murphy", "Cooper", "Reed",
    "O'Neil", "McKay", "Evans", "Hughes", "Price", "Bennett", "Wood", "Gray", "Hayes", "Ford",
};
const char *const kLastIntl[] = {
    "Müller", "Núñez", "Ødegaard", "Dvořák", "Lefèvre", "García", "Öberg", "Brontë", "Šimek", "Håkansson",
};
const char *const kBandSuffix[] = {
    " Band", " Trio", " Quartet", " Orchestra", " Experience", " Project", " Ensemble", " and Friends",
};
const char *const kComments[] = {
    "Amazon.com Song ID: ", "Ripped with Exact Audio Copy", "Bonus track", "Recorded live", "From the original vinyl",
    "Gift from Sarah & Tom", "Remastered edition", "Promo copy - not for sale", "Encoded with LAME 3.97 -V2",
};
const char *const kSuffix[] = {
    " (Live)", " (Remix)", " (Acoustic)", " Pt. 2", " [Demo]", " (Radio Edit)", " (Reprise)", " (Instrumental)",
};
const char *const kCommonAlbums[] = {
    "Greatest Hits", "Live", "Unplugged", "The Best Of", "Gold", "Christmas", "Anthology", "Demos",
    "Live at the BBC", "Untitled", "Hits", "Love Songs", "B-Sides & Rarities", "Acoustic Sessions", "Essentials",
};
const char *const kGenres[] = {
    "Rock", "Pop", "Alternative", "Jazz", "Classical", "Electronic", "Hip-Hop/Rap", "R&B/Soul", "Country",
    "Blues", "Reggae", "Soundtrack", "World", "Folk", "Metal", "Dance", "Latin", "Singer/Songwriter",
    "Indie Rock", "Punk",
};
const char *const kPlaylistWords[] = {
    "Road Trip", "Workout", "Chill", "Party", "Sunday Morning", "Late Night", "Dinner", "Focus", "Running",
    "Summer", "Rainy Day", "Favorites", "Car", "Office", "Sleep", "Wedding", "Café Mix", "Rock & Roll",
    "Throwbacks", "New Stuff", "To Listen", "Top Rated", "Kids", "Beach", "Study", "Morning Coffee",
};

enum Kind { kMp3 = 0, kAac = 1, kAlac = 2 };
const char *const kKindName[] = {"MPEG audio file", "AAC audio file", "Apple Lossless audio file"};
const char *const kKindExt[] = {".mp3", ".m4a", ".m4a"};

// ---------------------------------------------------------------------------
// Time helpers
// ---------------------------------------------------------------------------
constexpr int64_t kMacEpochOffset = 2082844800; // seconds from 1904-01-01 to 1970-01-01

int64_t daysFromCivil(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + int64_t(doe) - 719468;
}

void civilFromDays(int64_t z, int64_t &y, unsigned &m, unsigned &d)
{
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = int64_t(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

int64_t unixTime(int y, unsigned mo, unsigned d, int h = 0, int mi = 0, int s = 0)
{
    return daysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
}

// Writes "YYYY-MM-DDTHH:MM:SSZ" (20 chars) into out.
void formatDate(int64_t t, char *out)
{
    int64_t days = t >= 0 ? t / 86400 : -((-t + 86399) / 86400);
    int64_t secs = t - days * 86400;
    int64_t y;
    unsigned m, d;
    civilFromDays(days, y, m, d);
    auto two = [](char *p, unsigned v) { p[0] = char('0' + v / 10); p[1] = char('0' + v % 10); };
    unsigned yy = unsigned(y);
    out[0] = char('0' + yy / 1000 % 10);
    out[1] = char('0' + yy / 100 % 10);
    out[2] = char('0' + yy / 10 % 10);
    out[3] = char('0' + yy % 10);
    out[4] = '-';
    two(out + 5, m);
    out[7] = '-';
    two(out + 8, d);
    out[10] = 'T';
    two(out + 11, unsigned(secs / 3600));
    out[13] = ':';
    two(out + 14, unsigned(secs / 60 % 60));
    out[16] = ':';
    two(out + 17, unsigned(secs % 60));
    out[19] = 'Z';
}

// ---------------------------------------------------------------------------
// String helpers
// ---------------------------------------------------------------------------

// Sort tag value as taggers write it: leading article dropped.
std::string sortValue(std::string_view s)
{
    if (s.substr(0, 4) == "The ") return std::string(s.substr(4));
    if (s.substr(0, 2) == "A ") return std::string(s.substr(2));
    return std::string(s);
}

// File-name component the way iTunes derives it from a tag: characters that
// are unsafe in file names become '_', leading/trailing dots and spaces are
// trimmed.
std::string fileSafe(std::string_view s)
{
    std::string r;
    r.reserve(s.size());
    for (char c : s) {
        switch (c) {
        case '/': case '\\': case ':': case '*': case '?': case '"': case '<': case '>': case '|':
            r += '_';
            break;
        default:
            r += c;
        }
    }
    size_t b = 0, e = r.size();
    while (b < e && (r[b] == ' ' || r[b] == '.')) ++b;
    while (e > b && (r[e - 1] == ' ' || r[e - 1] == '.')) --e;
    r = r.substr(b, e - b);
    if (r.empty()) r = "_";
    return r;
}

// file://localhost URL path encoding: keep RFC 3986 path characters, encode
// everything else (space -> %20, UTF-8 bytes -> %XX, '#', '%', '[', ']' ...).
void urlEncodeAppend(std::string &out, std::string_view s)
{
    static const char hex[] = "0123456789ABCDEF";
    for (unsigned char c : s) {
        bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    std::strchr("-._~/!$&'()*+,;=:@", c) != nullptr;
        if (keep && c != 0) {
            out += char(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
}

std::string hex16(uint64_t v)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string r(16, '0');
    for (int i = 15; i >= 0; --i, v >>= 4) r[size_t(i)] = hex[v & 15];
    return r;
}

// ---------------------------------------------------------------------------
// Buffered output
// ---------------------------------------------------------------------------
class Out {
public:
    explicit Out(FILE *f) : f_(f), buf_(size_t(4) << 20) {}
    ~Out() { flush(); }
    void flush()
    {
        if (n_ && std::fwrite(buf_.data(), 1, n_, f_) != n_) failed_ = true;
        total_ += n_;
        n_ = 0;
    }
    bool failed() const { return failed_; }
    void put(std::string_view s)
    {
        if (n_ + s.size() > buf_.size()) {
            flush();
            if (s.size() > buf_.size()) {
                if (std::fwrite(s.data(), 1, s.size(), f_) != s.size()) failed_ = true;
                total_ += s.size();
                return;
            }
        }
        std::memcpy(buf_.data() + n_, s.data(), s.size());
        n_ += s.size();
    }
    void num(int64_t v)
    {
        char tmp[24];
        auto r = std::to_chars(tmp, tmp + sizeof tmp, v);
        put(std::string_view(tmp, size_t(r.ptr - tmp)));
    }
    // XML text escaping as iTunes does it (numeric character references).
    void xml(std::string_view s)
    {
        size_t start = 0;
        for (size_t i = 0; i < s.size(); ++i) {
            const char *rep = nullptr;
            switch (s[i]) {
            case '&': rep = "&#38;"; break;
            case '<': rep = "&#60;"; break;
            case '>': rep = "&#62;"; break;
            default: continue;
            }
            put(s.substr(start, i - start));
            put(rep);
            start = i + 1;
        }
        put(s.substr(start));
    }

    // "<tabs><key>K</key><integer>V</integer>\n"
    void keyInt(std::string_view ind, std::string_view k, int64_t v)
    {
        put(ind); put("<key>"); put(k); put("</key><integer>"); num(v); put("</integer>\n");
    }
    void keyStr(std::string_view ind, std::string_view k, std::string_view v)
    {
        put(ind); put("<key>"); put(k); put("</key><string>"); xml(v); put("</string>\n");
    }
    void keyDate(std::string_view ind, std::string_view k, int64_t t)
    {
        char d[20];
        formatDate(t, d);
        put(ind); put("<key>"); put(k); put("</key><date>"); put(std::string_view(d, 20)); put("</date>\n");
    }
    void keyBool(std::string_view ind, std::string_view k, bool v)
    {
        put(ind); put("<key>"); put(k); put(v ? "</key><true/>\n" : "</key><false/>\n");
    }

private:
    FILE *f_;
    std::vector<char> buf_;
    size_t n_ = 0;
    uint64_t total_ = 0;
    bool failed_ = false;
};

// ---------------------------------------------------------------------------
// Library model
// ---------------------------------------------------------------------------
struct Artist {
    std::string name, folder;
};

struct Album {
    std::string name, folder;
    int artist = 0;          // index into artists (ignored for compilations)
    const char *genre = "";
    int year = 2000;
    Kind kind = kMp3;
    bool compilation = false;
    int64_t release = 0;     // release date (unix time)
    bool artwork = true;
    std::string composer;    // album-wide composer, may be empty
    std::vector<int> tracks; // indices into tracks
};

struct Track {
    int id = 0;
    int album = -1;          // -1 for podcasts
    std::string name, artist, albumArtist, composer, albumName;
    const char *genre = "";
    Kind kind = kMp3;
    int64_t size = 0;
    int totalTime = 0;
    int disc = 0, discCount = 0, trackNo = 0, trackCount = 0, year = 0;
    int64_t dateModified = 0, dateAdded = 0, playDateUtc = 0, releaseDate = 0;
    int playCount = 0, skipCount = 0, rating = 0, albumRating = 0, bitRate = 0, sampleRate = 44100, bpm = 0;
    int64_t skipDate = 0;
    std::string comments, grouping;
    std::string sortAlbum, sortAlbumArtist, sortArtist, sortName; // empty = not tagged
    bool hasRelease = false, compilation = false, podcast = false, artwork = false;
    uint64_t pid = 0;
    int podcastShow = -1;
    std::string relDir;      // relative to OUTDIR/files, no trailing slash
    std::string fileName;    // file name inside relDir
};

struct Playlist {
    std::string name;
    int id = 0;
    uint64_t pid = 0;
    bool master = false;
    std::vector<int> items;  // indices into tracks
};

class Generator {
public:
    Generator(uint64_t seed, int nTracks, int nAlbums, int nPlaylists)
        : rng_(seed), pidBase_(mix64(seed ^ 0xB815E5EEDULL) & 0xFFFFFFFF00000000ULL),
          nTracks_(nTracks), nAlbums_(nAlbums), nPlaylists_(nPlaylists) {}

    void build()
    {
        libraryPid_ = nextPid();
        int nPodcasts = nTracks_ >= 100 ? nTracks_ / 100 : 0;
        int nMusic = nTracks_ - nPodcasts;
        if (nMusic > 0 && nAlbums_ < 1) nAlbums_ = 1;
        if (nMusic == 0) nAlbums_ = 0;
        makeArtists(std::max(1, nAlbums_ * 2 / 5));
        makeAlbums();
        distributeTracks(nMusic);
        makeMusicTracks();
        makePodcasts(nPodcasts);
        assignIdsAndDates();
        makePlaylists();
    }

    std::vector<Track> tracks;          // in ID order after build()
    std::vector<Playlist> playlists;
    uint64_t libraryPid_ = 0;

    static constexpr int64_t kLibraryDate = 1282331564; // 2010-08-20T19:12:44Z

private:
    Rng rng_;
    uint64_t pidBase_;
    uint64_t pidCounter_ = 0;
    int nTracks_, nAlbums_, nPlaylists_;
    std::vector<Artist> artists_;
    std::vector<Album> albums_;
    std::unordered_set<std::string> usedFolders_; // "Artist" and "Artist/Album" folder keys

    uint64_t nextPid() { return mix64(pidBase_ + (++pidCounter_)); } // bijection => unique

    // ---- name generation --------------------------------------------------
    std::string baseTitle()
    {
        Rng &r = rng_;
        uint32_t p = r.below(1000);
        std::string s;
        if (p < 200) { s = r.pick(kAdj); s += ' '; s += r.pick(kNoun); }
        else if (p < 260) { s = "The "; s += r.pick(kAdj); s += ' '; s += r.pick(kNoun); }
        else if (p < 300) { s = "The "; s += r.pick(kNoun); }
        else if (p < 340) { s = r.pick(kNoun); }
        else if (p < 460) {
            s = r.chance(0.5) ? r.pick(kAdj) + std::string(" ") : std::string();
            s += r.pick(kNoun); s += r.chance(0.5) ? " of the " : " of "; s += r.pick(kNoun);
        }
        else if (p < 580) {
            s = r.pick(kGerund); s += r.chance(0.5) ? " in the " : " Through the ";
            if (r.chance(0.5)) { s += r.pick(kAdj); s += ' '; }
            s += r.pick(kNoun);
        }
        else if (p < 640) { s = r.pick(kNoun); s += " & "; s += r.pick(kNoun); }
        else if (p < 760) { s = r.pick(kPhrase); }
        else if (p < 830) { s = r.pick(kPhrase); s += " ("; s += r.pick(kAdj); s += ' '; s += r.pick(kNoun); s += ')'; }
        else if (p < 900) { s = r.pick(kAdj); s += ' '; s += r.pick(kAccented); }
        else if (p < 940) { s = r.pick(kAccented); }
        else if (p < 946) { s = r.pick(kExotic); }
        else if (p < 950) { s = r.chance(0.5) ? "#1 " : "100% "; s += r.pick(kNoun); }
        else { s = r.pick(kAdj); s += ' '; s += r.pick(kNoun); s += ' '; s += std::to_string(r.range(2, 99)); }
        return s;
    }

    std::string songTitle()
    {
        std::string s = baseTitle();
        if (rng_.chance(0.14)) s += rng_.pick(kSuffix);
        return s;
    }

    std::string albumTitle()
    {
        Rng &r = rng_;
        if (r.chance(0.06)) return r.pick(kCommonAlbums); // repeated across artists on purpose
        std::string s;
        uint32_t q = r.below(100);
        if (q < 8) { s = "Songs from the "; s += r.pick(kAdj); s += ' '; s += r.pick(kNoun); }
        else if (q < 14) { s = "Live at the "; s += r.pick(kNoun); s += r.chance(0.5) ? " Club" : " Theatre"; }
        else if (q < 20) { s = "The "; s += r.pick(kAdj); s += ' '; s += r.pick(kNoun); s += " Sessions"; }
        else if (q < 22) { s = baseTitle(); s += " & Other Stories"; }
        else s = baseTitle();
        uint32_t p = r.below(100);
        if (p < 6) s += " (Deluxe Edition)";
        else if (p < 9) { s += ", Vol. "; s += std::to_string(r.range(1, 4)); }
        else if (p < 11) s += " II";
        else if (p < 13) s += " (Remastered)";
        return s;
    }

    std::string personName()
    {
        std::string s = rng_.chance(0.08) ? rng_.pick(kFirstIntl) : rng_.pick(kFirst);
        s += ' ';
        s += rng_.chance(0.08) ? rng_.pick(kLastIntl) : rng_.pick(kLast);
        return s;
    }

    std::string artistName()
    {
        Rng &r = rng_;
        uint32_t p = r.below(1000);
        std::string s;
        if (p < 250) { s = "The "; if (r.chance(0.6)) { s += r.pick(kAdj); s += ' '; } s += r.pick(kPlural); }
        else if (p < 480) { s = personName(); }
        else if (p < 550) { s = personName(); s += r.pick(kBandSuffix); }
        else if (p < 580) { s = personName(); s += " & The "; s += r.pick(kPlural); }
        else if (p < 600) { s = personName(); s += r.pick(kBandSuffix); }
        else if (p < 750) { s = r.pick(kAdj); s += ' '; s += r.pick(kNoun); }
        else if (p < 840) { s = r.pick(kNoun); s += r.chance(0.5) ? "" : std::string(" ") + std::to_string(r.range(7, 99)); }
        else if (p < 870) { s = r.pick(kNoun); s += " & "; s += r.pick(kNoun); }
        else if (p < 890) { s = r.pick(kAdj); s += ' '; s += r.pick(kPlural); }
        else if (p < 920) { s = r.chance(0.5) ? "DJ " : "MC "; s += r.pick(kNoun); }
        else if (p < 955) { s = r.pick(kAccented); if (r.chance(0.5)) { s += ' '; s += r.pick(kPlural); } }
        else if (p < 985) { s = r.pick(kAdj); s += ' '; s += r.pick(kPlural); }
        else { s = r.pick(kExotic); }
        return s;
    }

    // Claims a name whose folder is unused under `parent` ("" for top level):
    // draws new names from `gen` a few times, then falls back to a " #N" suffix.
    template <class Gen> void claimName(std::string &name, std::string &folder, const std::string &parent, Gen gen)
    {
        for (int attempt = 0; attempt < 12; ++attempt) {
            name = gen();
            folder = fileSafe(name);
            if (usedFolders_.insert(parent.empty() ? folder : parent + '/' + folder).second) return;
        }
        uniquify(name, folder, parent);
    }

    // Makes name unique among folder keys under `parent` ("" for top level).
    void uniquify(std::string &name, std::string &folder, const std::string &parent)
    {
        for (int n = 2;; ++n) {
            folder = fileSafe(name);
            std::string key = parent.empty() ? folder : parent + '/' + folder;
            if (usedFolders_.insert(key).second) return;
            std::string base = name;
            size_t cut = base.rfind(" #");
            if (n > 2 && cut != std::string::npos) base.resize(cut);
            name = base + " #" + std::to_string(n);
        }
    }

    // ---- library structure -----------------------------------------------
    void makeArtists(int n)
    {
        usedFolders_.insert("Compilations");
        usedFolders_.insert("Podcasts");
        artists_.resize(size_t(n));
        for (auto &a : artists_) {
            claimName(a.name, a.folder, "", [&] { return artistName(); });
        }
    }

    void makeAlbums()
    {
        albums_.resize(size_t(nAlbums_));
        const int nArtists = int(artists_.size());
        for (auto &al : albums_) {
            al.compilation = rng_.chance(0.03);
            // Skewed artist choice: some artists have many albums.
            al.artist = rng_.chance(0.3) ? int(rng_.below(uint32_t(std::max(1, nArtists / 20))))
                                         : int(rng_.below(uint32_t(nArtists)));
            if (al.compilation) {
                claimName(al.name, al.folder, "Compilations", [&] {
                    return rng_.chance(0.5) ? std::string(rng_.pick(kAdj)) + " Hits " + std::to_string(rng_.range(1990, 2009))
                                            : albumTitle();
                });
            } else {
                claimName(al.name, al.folder, artists_[size_t(al.artist)].folder, [&] { return albumTitle(); });
            }
            al.genre = rng_.pick(kGenres);
            al.year = int(rng_.chance(0.7) ? rng_.range(1985, 2010) : rng_.range(1955, 1984));
            uint32_t k = rng_.below(100);
            al.kind = k < 85 ? kMp3 : (k < 97 ? kAac : kAlac);
            al.release = unixTime(al.year, unsigned(rng_.range(1, 12)), unsigned(rng_.range(1, 28)), 7);
            al.artwork = rng_.chance(0.8);
            if (rng_.chance(0.6)) {
                al.composer = personName();
                if (rng_.chance(0.2)) { al.composer += rng_.chance(0.5) ? ", " : "/"; al.composer += personName(); }
            }
        }
    }

    void distributeTracks(int nMusic)
    {
        if (albums_.empty()) return;
        const size_t m = albums_.size();
        std::vector<int> count(m, 0);
        int remaining = nMusic;
        if (nMusic >= int(m)) {
            std::fill(count.begin(), count.end(), 1);
            remaining -= int(m);
        }
        std::vector<double> w(m);
        double total = 0;
        for (auto &x : w) { x = 0.3 + 1.4 * rng_.unit(); total += x; }
        double acc = 0;
        int64_t prev = 0;
        for (size_t i = 0; i < m; ++i) {
            acc += w[i];
            int64_t cur = int64_t(double(remaining) * acc / total + 0.5);
            if (i + 1 == m) cur = remaining;
            count[i] += int(cur - prev);
            prev = cur;
        }
        for (size_t i = 0; i < m; ++i) albums_[i].tracks.assign(size_t(count[i]), -1);
    }

    void fillAudio(Track &t, Kind kind, bool podcast)
    {
        t.kind = kind;
        if (podcast) {
            t.totalTime = int(rng_.range(8 * 60, 95 * 60)) * 1000 + int(rng_.below(1000));
            static const int br[] = {64, 96, 128};
            t.bitRate = br[rng_.below(3)];
            t.sampleRate = rng_.chance(0.3) ? 22050 : 44100;
        } else {
            uint32_t p = rng_.below(100);
            int secs = p < 5 ? int(rng_.range(30, 90)) : p < 97 ? int(rng_.range(120, 270) + rng_.range(0, 150)) : int(rng_.range(420, 1200));
            t.totalTime = secs * 1000 + int(rng_.below(1000));
            if (kind == kMp3) {
                static const int br[] = {128, 128, 160, 192, 192, 192, 256, 320, 320};
                t.bitRate = br[rng_.below(9)];
                t.sampleRate = rng_.chance(0.05) ? 48000 : 44100;
            } else if (kind == kAac) {
                t.bitRate = rng_.chance(0.7) ? 256 : 128;
                t.sampleRate = 44100;
            } else {
                t.bitRate = int(rng_.range(600, 1100));
                t.sampleRate = 44100;
            }
        }
        t.size = int64_t(t.bitRate) * 125 * t.totalTime / 1000 + rng_.range(1500, 9000) +
                 (t.artwork ? rng_.range(20000, 120000) : 0);
    }

    void makeMusicTracks()
    {
        for (size_t ai = 0; ai < albums_.size(); ++ai) {
            Album &al = albums_[ai];
            const int n = int(al.tracks.size());
            if (n == 0) continue;
            int discs = (n >= 16 && rng_.chance(0.25)) ? 2 : 1;
            int perDisc1 = discs == 2 ? (n + 1) / 2 : n;
            const Artist &artist = artists_[size_t(al.artist)];
            std::string dir = al.compilation ? "Compilations/" + al.folder : artist.folder + '/' + al.folder;
            std::unordered_set<std::string> namesSeen;
            const bool ratedAlbum = rng_.chance(0.3);
            // Some albums carry sort tags: most AAC (tagged by a tagger/store),
            // and many albums by "The ..." artists.
            const bool sortTagged = al.kind == kAac ? rng_.chance(0.8)
                                  : artist.name.rfind("The ", 0) == 0 ? rng_.chance(0.6) : rng_.chance(0.03);
            const size_t firstTrack = tracks.size();
            for (int i = 0; i < n; ++i) {
                Track t;
                t.album = int(ai);
                t.artwork = al.artwork;
                t.disc = i < perDisc1 ? 1 : 2;
                t.discCount = discs;
                t.trackNo = t.disc == 1 ? i + 1 : i - perDisc1 + 1;
                t.trackCount = t.disc == 1 ? perDisc1 : n - perDisc1;
                t.name = songTitle();
                if (!namesSeen.insert(t.name).second && rng_.chance(0.5)) {
                    t.name += " (Alternate Take)";
                }
                t.albumName = al.name;
                t.compilation = al.compilation;
                if (al.compilation) {
                    t.artist = artists_[rng_.below(uint32_t(artists_.size()))].name;
                    t.albumArtist = "Various Artists";
                } else {
                    t.artist = artist.name;
                    t.albumArtist = artist.name;
                    // Occasional featured guest.
                    if (rng_.chance(0.04)) {
                        t.artist += " feat. ";
                        t.artist += artists_[rng_.below(uint32_t(artists_.size()))].name;
                    }
                }
                if (!al.composer.empty()) t.composer = al.composer;
                else if (rng_.chance(0.4)) t.composer = personName();
                if (sortTagged) {
                    t.sortAlbum = sortValue(t.albumName);
                    t.sortAlbumArtist = sortValue(t.albumArtist);
                    t.sortArtist = sortValue(t.artist);
                    t.sortName = sortValue(t.name);
                }
                t.genre = al.genre;
                t.year = al.year;
                t.hasRelease = rng_.chance(0.55);
                t.releaseDate = al.release;
                fillAudio(t, al.kind, false);
                if (ratedAlbum && rng_.chance(0.6)) t.rating = 20 * int(rng_.range(1, 5));
                if (rng_.chance(0.35)) {
                    t.comments = rng_.pick(kComments);
                    if (t.comments.back() == ' ') t.comments += std::to_string(rng_.range(200000000, 299999999));
                }
                if (rng_.chance(0.05)) t.bpm = int(rng_.range(70, 180));
                if (rng_.chance(0.03)) t.grouping = std::string(rng_.pick(kAdj)) + ' ' + rng_.pick(kNoun);
                t.relDir = dir;
                char num[16];
                if (discs > 1) std::snprintf(num, sizeof num, "%d-%02d ", t.disc, t.trackNo);
                else std::snprintf(num, sizeof num, "%02d ", t.trackNo);
                t.fileName = num + fileSafe(t.name) + kKindExt[al.kind];
                al.tracks[size_t(i)] = int(tracks.size());
                tracks.push_back(std::move(t));
            }
            // iTunes shows a computed album rating (mean of the rated tracks)
            // on every track of an album with at least one rated track.
            int sum = 0, rated = 0;
            for (size_t k = firstTrack; k < tracks.size(); ++k)
                if (tracks[k].rating) { sum += tracks[k].rating; ++rated; }
            if (rated) {
                int avg = (sum / rated + 10) / 20 * 20;
                for (size_t k = firstTrack; k < tracks.size(); ++k) tracks[k].albumRating = avg;
            }
        }
    }

    void makePodcasts(int n)
    {
        if (n <= 0) return;
        int nShows = std::max(1, n / 15);
        struct Show { std::string name, folder, host; const char *kind; };
        std::vector<Show> shows(static_cast<size_t>(nShows));
        static const char *const pat[] = {"The %s %s Show", "%s %s Radio", "Daily %s %s", "%s %s Podcast", "%s %s Talk"};
        for (auto &s : shows) {
            claimName(s.name, s.folder, "Podcasts", [&] {
                char buf[256];
                std::snprintf(buf, sizeof buf, rng_.pick(pat), rng_.pick(kAdj), rng_.pick(kNoun));
                return std::string(buf);
            });
            s.host = personName();
        }
        std::vector<int> episodeNo(size_t(nShows), 0);
        for (int i = 0; i < n; ++i) {
            size_t si = rng_.below(uint32_t(nShows));
            const Show &s = shows[si];
            int ep = ++episodeNo[si];
            Track t;
            t.podcast = true;
            t.artwork = rng_.chance(0.5);
            char buf[256];
            if (rng_.chance(0.5)) std::snprintf(buf, sizeof buf, "Episode %d: %s", ep, baseTitle().c_str());
            else std::snprintf(buf, sizeof buf, "#%d - %s", ep, baseTitle().c_str());
            t.name = buf;
            t.artist = s.host;
            t.albumName = s.name;
            t.genre = "Podcast";
            t.hasRelease = true;
            t.podcastShow = int(si); // release date and year are set on import
            fillAudio(t, kMp3, true);
            t.relDir = "Podcasts/" + s.folder;
            t.fileName = fileSafe(t.name) + ".mp3";
            tracks.push_back(std::move(t));
        }
    }

    // Tracks are "imported" album by album (podcast episodes one by one) in a
    // random order; IDs increase with gaps and Date Added follows import order.
    void assignIdsAndDates()
    {
        std::vector<std::vector<int>> units;
        units.reserve(albums_.size() + tracks.size() / 50);
        for (auto &al : albums_)
            if (!al.tracks.empty()) units.push_back(al.tracks);
        // A podcast subscription brings in the show's episodes in one go.
        std::vector<std::vector<int>> shows;
        for (size_t i = 0; i < tracks.size(); ++i) {
            int sh = tracks[i].podcastShow;
            if (sh < 0) continue;
            if (size_t(sh) >= shows.size()) shows.resize(size_t(sh) + 1);
            shows[size_t(sh)].push_back(int(i));
        }
        for (auto &sh : shows)
            if (!sh.empty()) units.push_back(std::move(sh));
        for (size_t i = units.size(); i > 1; --i) std::swap(units[i - 1], units[rng_.below(uint32_t(i))]);

        const int64_t start = unixTime(2004, 1, 10, 9), end = unixTime(2010, 8, 1);
        const int64_t span = end - start;
        int id = 1000 + int(rng_.below(4000));
        std::vector<Track> ordered;
        ordered.reserve(tracks.size());
        std::vector<int> newIndex(tracks.size());
        for (size_t u = 0; u < units.size(); ++u) {
            int64_t base = start + int64_t((double(u) + rng_.unit() * 0.8) * double(span) / double(units.size()));
            // Nothing is added before it was released: move an album's release
            // date (and year) back when needed. Podcast episodes were
            // published weekly up to the subscription date.
            const Track &first = tracks[size_t(units[u][0])];
            const int64_t rel = first.releaseDate <= base - 86400 ? first.releaseDate
                              : (base - rng_.range(2 * 86400, 3 * 365 * 86400)) / 86400 * 86400 + 7 * 3600;
            const int64_t n = int64_t(units[u].size());
            for (int64_t k = 0; k < n; ++k) {
                Track &t = tracks[size_t(units[u][size_t(k)])];
                t.releaseDate = first.podcast ? base - (n - k) * 7 * 86400 + rng_.range(0, 86400) : rel;
                int64_t y; unsigned mo, d;
                civilFromDays(t.releaseDate / 86400, y, mo, d);
                t.year = int(y);
            }
            int k = 0;
            for (int ti : units[u]) {
                Track &t = tracks[size_t(ti)];
                t.id = id;
                id += rng_.chance(0.7) ? 2 : int(rng_.range(1, 9));
                t.pid = nextPid();
                t.dateAdded = base + 2 * k++;
                if (t.dateAdded > kLibraryDate - 3600) t.dateAdded = kLibraryDate - 3600;
                const int64_t earliest = std::max(t.releaseDate, unixTime(1999, 1, 1));
                t.dateModified = rng_.chance(0.8) ? t.dateAdded - rng_.range(0, 2 * 365 * 86400)
                                                  : t.dateAdded + rng_.range(0, kLibraryDate - t.dateAdded);
                if (t.dateModified < earliest) t.dateModified = std::min(t.dateAdded, earliest + rng_.range(0, 30 * 86400));
                if (rng_.chance(t.podcast ? 0.4 : 0.8)) {
                    t.playCount = int(1 + rng_.below(rng_.chance(0.8) ? 12 : 150));
                    t.playDateUtc = t.dateAdded + rng_.range(60, kLibraryDate - t.dateAdded);
                }
                if (rng_.chance(0.25)) {
                    t.skipCount = int(rng_.range(1, 9));
                    t.skipDate = t.dateAdded + rng_.range(60, kLibraryDate - t.dateAdded);
                }
                newIndex[size_t(ti)] = int(ordered.size());
                ordered.push_back(std::move(t));
            }
        }
        tracks.swap(ordered);
        for (auto &al : albums_)
            for (int &ti : al.tracks) ti = newIndex[size_t(ti)];
        nextId_ = id;
    }

    int nextId_ = 0;

    void makePlaylists()
    {
        if (nPlaylists_ <= 0) return;
        int id = nextId_ + 100 + int(rng_.below(900));
        Playlist master;
        master.name = "Library";
        master.master = true;
        master.id = id;
        master.pid = nextPid();
        master.items.resize(tracks.size());
        for (size_t i = 0; i < tracks.size(); ++i) master.items[i] = int(i);
        playlists.push_back(std::move(master));

        std::unordered_set<std::string> names;
        std::vector<uint8_t> mark(std::max(tracks.size(), albums_.size()), 0);
        std::vector<int> nonEmptyAlbums;
        for (size_t i = 0; i < albums_.size(); ++i)
            if (!albums_[i].tracks.empty()) nonEmptyAlbums.push_back(int(i));

        for (int p = 1; p < nPlaylists_; ++p) {
            Playlist pl;
            id += rng_.chance(0.8) ? 2 : int(rng_.range(1, 9));
            pl.id = id;
            pl.pid = nextPid();
            std::string name = rng_.pick(kPlaylistWords);
            uint32_t s = rng_.below(10);
            if (s < 3) name = std::string(rng_.pick(kAdj)) + ' ' + name;
            else if (s < 5) name += ' ' + std::to_string(rng_.range(2000, 2010));
            else if (s < 6) name = std::string(rng_.pick(kGenres)) + ' ' + name;
            std::string unique = name;
            for (int n = 2; !names.insert(unique).second; ++n) unique = name + ' ' + std::to_string(n);
            pl.name = unique;

            const size_t want = std::min<size_t>(size_t(rng_.range(10, 200)), tracks.size());
            if (rng_.chance(0.4) && !nonEmptyAlbums.empty()) {
                // Whole albums.
                std::vector<int> usedAlbums;
                while (pl.items.size() < want && usedAlbums.size() < nonEmptyAlbums.size()) {
                    int a = nonEmptyAlbums[rng_.below(uint32_t(nonEmptyAlbums.size()))];
                    if (mark[size_t(a)]) continue;
                    mark[size_t(a)] = 1;
                    usedAlbums.push_back(a);
                    for (int ti : albums_[size_t(a)].tracks) {
                        if (pl.items.size() >= 200) break;
                        pl.items.push_back(ti);
                    }
                }
                for (int a : usedAlbums) mark[size_t(a)] = 0;
            } else {
                // Random distinct tracks in random order.
                while (pl.items.size() < want) {
                    int ti = int(rng_.below(uint32_t(tracks.size())));
                    if (mark[size_t(ti)]) continue;
                    mark[size_t(ti)] = 1;
                    pl.items.push_back(ti);
                }
                for (int ti : pl.items) mark[size_t(ti)] = 0;
            }
            playlists.push_back(std::move(pl));
        }
    }
};

// ---------------------------------------------------------------------------
// Writing the XML
// ---------------------------------------------------------------------------
void writeLibrary(Out &o, const Generator &g, const std::string &locPrefix, const std::string &musicFolderUrl)
{
    const std::string_view T1 = "\t", T3 = "\t\t\t";
    o.put("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
          "<!DOCTYPE plist PUBLIC \"-//Apple Computer//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
          "<plist version=\"1.0\">\n"
          "<dict>\n");
    o.keyInt(T1, "Major Version", 1);
    o.keyInt(T1, "Minor Version", 1);
    o.keyDate(T1, "Date", Generator::kLibraryDate);
    o.keyStr(T1, "Application Version", "9.2.1");
    o.keyInt(T1, "Features", 5);
    o.keyBool(T1, "Show Content Ratings", true);
    o.keyStr(T1, "Music Folder", musicFolderUrl);
    o.keyStr(T1, "Library Persistent ID", hex16(g.libraryPid_));
    o.put("\t<key>Tracks</key>\n\t<dict>\n");

    std::string loc;
    for (const Track &t : g.tracks) {
        o.put("\t\t<key>"); o.num(t.id); o.put("</key>\n\t\t<dict>\n");
        o.keyInt(T3, "Track ID", t.id);
        o.keyStr(T3, "Name", t.name);
        o.keyStr(T3, "Artist", t.artist);
        if (!t.albumArtist.empty()) o.keyStr(T3, "Album Artist", t.albumArtist);
        if (!t.composer.empty()) o.keyStr(T3, "Composer", t.composer);
        o.keyStr(T3, "Album", t.albumName);
        if (!t.grouping.empty()) o.keyStr(T3, "Grouping", t.grouping);
        o.keyStr(T3, "Genre", t.genre);
        o.keyStr(T3, "Kind", kKindName[t.kind]);
        o.keyInt(T3, "Size", t.size);
        o.keyInt(T3, "Total Time", t.totalTime);
        if (!t.podcast) {
            o.keyInt(T3, "Disc Number", t.disc);
            o.keyInt(T3, "Disc Count", t.discCount);
            o.keyInt(T3, "Track Number", t.trackNo);
            o.keyInt(T3, "Track Count", t.trackCount);
        }
        o.keyInt(T3, "Year", t.year);
        if (t.bpm) o.keyInt(T3, "BPM", t.bpm);
        o.keyDate(T3, "Date Modified", t.dateModified);
        o.keyDate(T3, "Date Added", t.dateAdded);
        o.keyInt(T3, "Bit Rate", t.bitRate);
        o.keyInt(T3, "Sample Rate", t.sampleRate);
        if (!t.comments.empty()) o.keyStr(T3, "Comments", t.comments);
        if (t.playCount > 0) {
            o.keyInt(T3, "Play Count", t.playCount);
            // Local time in seconds since 1904 (library written in UTC).
            o.keyInt(T3, "Play Date", t.playDateUtc + kMacEpochOffset);
            o.keyDate(T3, "Play Date UTC", t.playDateUtc);
        }
        if (t.skipCount > 0) {
            o.keyInt(T3, "Skip Count", t.skipCount);
            o.keyDate(T3, "Skip Date", t.skipDate);
        }
        if (t.hasRelease) o.keyDate(T3, "Release Date", t.releaseDate);
        if (t.rating > 0) o.keyInt(T3, "Rating", t.rating);
        if (t.albumRating > 0) {
            o.keyInt(T3, "Album Rating", t.albumRating);
            o.keyBool(T3, "Album Rating Computed", true);
        }
        if (t.compilation) o.keyBool(T3, "Compilation", true);
        if (t.artwork) o.keyInt(T3, "Artwork Count", 1);
        if (!t.sortAlbum.empty()) o.keyStr(T3, "Sort Album", t.sortAlbum);
        if (!t.sortAlbumArtist.empty()) o.keyStr(T3, "Sort Album Artist", t.sortAlbumArtist);
        if (!t.sortArtist.empty()) o.keyStr(T3, "Sort Artist", t.sortArtist);
        if (!t.sortName.empty()) o.keyStr(T3, "Sort Name", t.sortName);
        o.keyStr(T3, "Persistent ID", hex16(t.pid));
        o.keyStr(T3, "Track Type", "File");
        if (t.podcast) {
            o.keyBool(T3, "Podcast", true);
            if (t.playCount == 0) o.keyBool(T3, "Unplayed", true);
        }
        loc = locPrefix;
        urlEncodeAppend(loc, t.relDir);
        loc += '/';
        urlEncodeAppend(loc, t.fileName);
        o.keyStr(T3, "Location", loc);
        o.keyInt(T3, "File Folder Count", -1);
        o.keyInt(T3, "Library Folder Count", -1);
        o.put("\t\t</dict>\n");
    }
    o.put("\t</dict>\n\t<key>Playlists</key>\n\t<array>\n");

    for (const Playlist &p : g.playlists) {
        o.put("\t\t<dict>\n");
        o.keyStr(T3, "Name", p.name);
        if (p.master) o.keyBool(T3, "Master", true);
        o.keyInt(T3, "Playlist ID", p.id);
        o.keyStr(T3, "Playlist Persistent ID", hex16(p.pid));
        if (p.master) o.keyBool(T3, "Visible", false);
        o.keyBool(T3, "All Items", true);
        if (!p.items.empty()) {
            o.put("\t\t\t<key>Playlist Items</key>\n\t\t\t<array>\n");
            for (int ti : p.items) {
                o.put("\t\t\t\t<dict>\n\t\t\t\t\t<key>Track ID</key><integer>");
                o.num(g.tracks[size_t(ti)].id);
                o.put("</integer>\n\t\t\t\t</dict>\n");
            }
            o.put("\t\t\t</array>\n");
        }
        o.put("\t\t</dict>\n");
    }
    o.put("\t</array>\n</dict>\n</plist>\n");
}

// ---------------------------------------------------------------------------
// Files on disk
// ---------------------------------------------------------------------------
bool mkdirP(const std::string &path)
{
    if (path.empty()) return true;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos == path.size() || path[pos] == '/') {
            std::string sub = path.substr(0, pos);
            if (::mkdir(sub.c_str(), 0755) != 0 && errno != EEXIST) return false;
        }
    }
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

struct FileResult {
    long created = 0;   // files that did not exist before
    long existing = 0;  // files already present (re-run)
    long failed = 0;
    std::string firstError;
};

void createFiles(const std::vector<Track> &tracks, const std::string &filesRoot, FileResult &res)
{
    // Group by directory so each directory is created/opened once.
    std::vector<int> order(tracks.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = int(i);
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return tracks[size_t(a)].relDir < tracks[size_t(b)].relDir; });
    const std::string *curDir = nullptr;
    int dirFd = -1;
    for (int ti : order) {
        const Track &t = tracks[size_t(ti)];
        if (!curDir || *curDir != t.relDir) {
            if (dirFd >= 0) ::close(dirFd);
            curDir = &t.relDir;
            std::string full = filesRoot + '/' + t.relDir;
            dirFd = -1;
            if (mkdirP(full)) dirFd = ::open(full.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (dirFd < 0 && res.firstError.empty()) res.firstError = full + ": " + std::strerror(errno);
        }
        if (dirFd < 0) { ++res.failed; continue; }
        int fd = ::openat(dirFd, t.fileName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) { ::close(fd); ++res.created; continue; }
        if (errno == EEXIST) { ++res.existing; continue; }
        ++res.failed;
        if (res.firstError.empty()) res.firstError = filesRoot + '/' + t.relDir + '/' + t.fileName + ": " + std::strerror(errno);
    }
    if (dirFd >= 0) ::close(dirFd);
}

// ---------------------------------------------------------------------------
// main
// ---------------------------------------------------------------------------
[[noreturn]] void usage(const char *argv0, int code)
{
    std::fprintf(code ? stderr : stdout,
                 "usage: %s OUTDIR [--tracks N] [--albums M] [--playlists P] [--seed S] [--no-files]\n"
                 "  Writes OUTDIR/iTunes Music Library.xml and one empty file per track under OUTDIR/files.\n"
                 "  Defaults: --tracks 100000 --albums 8000 (tracks*0.08 if --tracks given) --playlists 500 --seed 1\n",
                 argv0);
    std::exit(code);
}

long long parseNum(const char *argv0, const char *opt, const char *s, long long lo, long long hi)
{
    char *end = nullptr;
    errno = 0;
    long long v = std::strtoll(s, &end, 10);
    if (errno || !end || *end || end == s || v < lo || v > hi) {
        std::fprintf(stderr, "%s: invalid value for %s: '%s' (expected %lld..%lld)\n", argv0, opt, s, lo, hi);
        std::exit(2);
    }
    return v;
}

} // namespace

int main(int argc, char **argv)
{
    const auto t0 = std::chrono::steady_clock::now();
    std::string outDir;
    long long nTracks = 100000, nAlbums = -1, nPlaylists = 500, seed = 1;
    bool makeFiles = true;
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        auto val = [&](const char *opt) -> const char * {
            if (i + 1 >= argc) { std::fprintf(stderr, "%s: %s needs a value\n", argv[0], opt); std::exit(2); }
            return argv[++i];
        };
        if (a == "--tracks") nTracks = parseNum(argv[0], "--tracks", val("--tracks"), 0, 20000000);
        else if (a == "--albums") nAlbums = parseNum(argv[0], "--albums", val("--albums"), 0, 5000000);
        else if (a == "--playlists") nPlaylists = parseNum(argv[0], "--playlists", val("--playlists"), 0, 1000000);
        else if (a == "--seed") seed = parseNum(argv[0], "--seed", val("--seed"), LLONG_MIN, LLONG_MAX);
        else if (a == "--no-files") makeFiles = false;
        else if (a == "-h" || a == "--help") usage(argv[0], 0);
        else if (!a.empty() && a[0] == '-') { std::fprintf(stderr, "%s: unknown option %s\n", argv[0], argv[i]); usage(argv[0], 2); }
        else if (outDir.empty()) outDir = argv[i];
        else usage(argv[0], 2);
    }
    if (outDir.empty()) usage(argv[0], 2);
    // Default: ~12.5 tracks per album (8000 albums for 100000 tracks).
    if (nAlbums < 0) nAlbums = std::max(1LL, (nTracks * 8 + 50) / 100);

    if (!mkdirP(outDir)) {
        std::fprintf(stderr, "%s: cannot create %s: %s\n", argv[0], outDir.c_str(), std::strerror(errno));
        return 1;
    }
    char resolved[PATH_MAX];
    if (!::realpath(outDir.c_str(), resolved)) {
        std::fprintf(stderr, "%s: cannot resolve %s: %s\n", argv[0], outDir.c_str(), std::strerror(errno));
        return 1;
    }
    std::string absOut = resolved;
    if (absOut.size() > 1 && absOut.back() == '/') absOut.pop_back();
    const std::string filesRoot = (absOut == "/" ? std::string() : absOut) + "/files";

    Generator g{uint64_t(seed), int(nTracks), int(nAlbums), int(nPlaylists)};
    g.build();
    const auto t1 = std::chrono::steady_clock::now();

    // Create the files concurrently with writing the XML.
    FileResult fres;
    std::thread fileThread;
    if (makeFiles) {
        if (!mkdirP(filesRoot)) {
            std::fprintf(stderr, "%s: cannot create %s: %s\n", argv[0], filesRoot.c_str(), std::strerror(errno));
            return 1;
        }
        fileThread = std::thread([&] { createFiles(g.tracks, filesRoot, fres); });
    }

    std::string locPrefix = "file://localhost";
    urlEncodeAppend(locPrefix, filesRoot + '/');
    const std::string xmlPath = absOut + "/iTunes Music Library.xml";
    const std::string tmpPath = xmlPath + ".tmp";
    FILE *f = std::fopen(tmpPath.c_str(), "wb");
    if (!f) {
        std::fprintf(stderr, "%s: cannot write %s: %s\n", argv[0], tmpPath.c_str(), std::strerror(errno));
        if (fileThread.joinable()) fileThread.join();
        return 1;
    }
    bool writeOk;
    {
        Out o(f);
        writeLibrary(o, g, locPrefix, locPrefix);
        o.flush();
        writeOk = !o.failed();
    }
    writeOk = (std::fclose(f) == 0) && writeOk;
    if (!writeOk || std::rename(tmpPath.c_str(), xmlPath.c_str()) != 0) {
        std::fprintf(stderr, "%s: failed writing %s: %s\n", argv[0], xmlPath.c_str(), std::strerror(errno));
        std::remove(tmpPath.c_str());
        if (fileThread.joinable()) fileThread.join();
        return 1;
    }
    const auto t2 = std::chrono::steady_clock::now();
    if (fileThread.joinable()) fileThread.join();
    const auto t3 = std::chrono::steady_clock::now();

    struct stat st {};
    ::stat(xmlPath.c_str(), &st);
    auto ms = [](auto a, auto b) { return std::chrono::duration<double, std::milli>(b - a).count(); };
    size_t items = 0;
    for (const auto &p : g.playlists) items += p.items.size();
    std::printf("wrote %s\n", xmlPath.c_str());
    std::printf("  tracks: %zu, playlists: %zu (%zu playlist items), seed: %lld\n", g.tracks.size(),
                g.playlists.size(), items, seed);
    std::printf("  file size: %lld bytes (%.1f MB)\n", (long long)st.st_size, double(st.st_size) / 1e6);
    if (makeFiles)
        std::printf("  media files under %s: %ld created, %ld already present, %ld failed\n", filesRoot.c_str(),
                    fres.created, fres.existing, fres.failed);
    std::printf("  time: %.0f ms total (model %.0f ms, xml %.0f ms, waiting for files %.0f ms)\n", ms(t0, t3),
                ms(t0, t1), ms(t1, t2), ms(t2, t3));
    if (fres.failed) {
        std::fprintf(stderr, "%s: %ld files could not be created; first error: %s\n", argv[0], fres.failed,
                     fres.firstError.c_str());
        return 1;
    }
    return 0;
}
