/*
 * kxMUti.hpp - typed C++ registration of interpreter commands.
 *
 * kx::add registers a function, function pointer or function object whose
 * parameters have real types; the invoke format is derived from those types
 * at compile time, and a shape the interpreter would read ambiguously, or
 * cannot hold, fails to compile with a message naming the parameter.  At run
 * time the interpreter converts the words, prints its messages and returns
 * its statuses exactly as for a C handler; a small per-signature handler
 * then hands the slots to the callable.  Header-only, C++17, usable without
 * exceptions or RTTI; it needs nothing beyond the public C interface.
 */
#ifndef KX_MUTI_HPP
#define KX_MUTI_HPP

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "kxMUtiCmd.h"

namespace kx {

/* ---- Parameter types ---------------------------------------------------- */

/* A word read as a hexadecimal integer (%x), with or without 0x. */
struct Hex {
    uint32_t value;
    constexpr operator uint32_t() const { return value; }
};

/* A piece of the line as typed: kx::Rest is the text after the command word
 * (%l), kx::Line the whole line (%L); both take every word left.  kx::Name is
 * the command's registered name (%N), kx::Typed the command word as typed,
 * an abbreviation say (%n); these two take no word. */
template <char Letter> struct Text {
    const char *text; /* NUL-terminated; see the interpreter for lifetimes */
    operator const char *() const { return text; }
    std::string_view view() const { return text; }
};
using Rest = Text<'l'>;
using Line = Text<'L'>;
using Name = Text<'N'>;
using Typed = Text<'n'>;

namespace detail {
template <class T> T FromWord(kxWord_t w);
template <> inline int32_t FromWord<int32_t>(kxWord_t w)
{
    return static_cast<int32_t>(static_cast<uint32_t>(w));
}
template <> inline uint32_t FromWord<uint32_t>(kxWord_t w)
{
    return static_cast<uint32_t>(w);
}
template <> inline Hex FromWord<Hex>(kxWord_t w)
{
    return Hex{static_cast<uint32_t>(w)};
}
template <> inline const char *FromWord<const char *>(kxWord_t w)
{
    return reinterpret_cast<const char *>(w);
}
template <> inline std::string_view FromWord<std::string_view>(kxWord_t w)
{
    return std::string_view(reinterpret_cast<const char *>(w));
}
} // namespace detail

/* The words of a list (%d*, %u+, ...): the interpreter's list storage, read
 * in place.  Valid until the next line runs on the same context. */
template <class T> class List {
  public:
    class Iter {
      public:
        explicit Iter(void *const *p) : p_(p) {}
        T operator*() const { return detail::FromWord<T>(reinterpret_cast<kxWord_t>(*p_)); }
        Iter &operator++()
        {
            ++p_;
            return *this;
        }
        bool operator==(const Iter &o) const { return p_ == o.p_; }
        bool operator!=(const Iter &o) const { return p_ != o.p_; }

      private:
        void *const *p_;
    };

    List(uint32_t n, void *const *p) : n_(n), p_(p) {}
    uint32_t size() const { return n_; }
    bool empty() const { return n_ == 0; }
    T operator[](uint32_t i) const
    {
        return detail::FromWord<T>(reinterpret_cast<kxWord_t>(p_[i]));
    }
    Iter begin() const { return Iter(p_); }
    Iter end() const { return Iter(p_ + n_); }

  private:
    uint32_t n_;     /* elements */
    void *const *p_; /* n_ entries, each a converted word */
};

/* A list of at least one word (%d+, ...); the interpreter refuses an empty one. */
template <class T> class OneOrMore : public List<T> {
  public:
    using List<T>::List;
};

/* Every word of the line, command word first (%C%V).  It takes no word
 * itself: a command that should accept any words adds kx::Rest. */
class Words : public List<const char *> {
  public:
    using List<const char *>::List;
};

/* ---- Format rules --------------------------------------------------------- */

namespace detail {

constexpr bool IsWordLetter(char c)
{
    return c == 'd' || c == 'u' || c == 'x' || c == 's';
}
constexpr bool IsLetter(char c)
{
    return IsWordLetter(c) || c == 'C' || c == 'c' || c == 'E' || c == 'L' || c == 'l' ||
           c == 'N' || c == 'n' || c == 'V' || c == 'v' || c == 'X';
}
constexpr unsigned kSlots = 10; /* handler arguments */

} // namespace detail

/*
 * True when the interpreter runs fmt without a format complaint: every item
 * is '%', one of the fourteen letters and at most one of '?', '+', '*';
 * items are separated by spaces only (a tab is no separator); a list ('+' or
 * '*') is the last item; and the slots needed with every optional item
 * filled (a word list takes two) fit the ten handler arguments.  A null
 * format is registered as "" and is valid.
 */
constexpr bool valid_format(const char *fmt)
{
    if (fmt == nullptr)
        return true;
    unsigned slots = 0;
    bool listSeen = false;
    for (std::size_t i = 0; fmt[i] != '\0';) {
        if (fmt[i] == ' ') {
            i++;
            continue;
        }
        if (fmt[i] != '%' || listSeen || !detail::IsLetter(fmt[i + 1]))
            return false;
        const char letter = fmt[i + 1];
        const char mod = fmt[i + 2];
        const bool hasMod = mod == '?' || mod == '+' || mod == '*';
        listSeen = mod == '+' || mod == '*';
        slots += listSeen && detail::IsWordLetter(letter) ? 2 : 1;
        if (slots > detail::kSlots)
            return false;
        i += hasMod ? 3 : 2;
    }
    return true;
}

namespace detail {

/* ---- What each parameter type means --------------------------------------- */

enum class Kind : uint8_t {
    Unsupported,
    Word,      /* one word, required */
    Optional,  /* one word if it converts */
    List,      /* every word left, maybe none */
    OneOrMore, /* every word left, at least one */
    Rest,      /* every word left, as text (%l, %L) */
    Fixed,     /* takes no word: %E, %N, %n */
    Words      /* takes no word, two slots: %C%V */
};

/* What a word conversion accepts grows with rank: decimal words (d and u
 * read the same words; they differ in the value) are hex words too, and
 * every word is a string.  A word that fails a conversion fails every one of
 * lower or equal rank. */
struct Param {
    Kind kind;
    char letter; /* conversion letter; 0 for Words */
    uint8_t rank;
    uint8_t slots;
};

template <class T> struct WordInfo {
    static constexpr char letter = 0;
};
template <> struct WordInfo<int32_t> {
    static constexpr char letter = 'd';
    static constexpr uint8_t rank = 0;
};
template <> struct WordInfo<uint32_t> {
    static constexpr char letter = 'u';
    static constexpr uint8_t rank = 0;
};
template <> struct WordInfo<Hex> {
    static constexpr char letter = 'x';
    static constexpr uint8_t rank = 1;
};
template <> struct WordInfo<const char *> {
    static constexpr char letter = 's';
    static constexpr uint8_t rank = 2;
};
template <> struct WordInfo<std::string_view> : WordInfo<const char *> {
};

template <class T, Kind K> constexpr Param WordParam()
{
    if constexpr (WordInfo<T>::letter == 0)
        return Param{Kind::Unsupported, 0, 0, 0};
    else
        return Param{K, WordInfo<T>::letter, WordInfo<T>::rank,
                     uint8_t(K == Kind::List || K == Kind::OneOrMore ? 2 : 1)};
}

template <class T> struct Info {
    static constexpr Param param = WordParam<T, Kind::Word>();
};
template <class T> struct Info<std::optional<T>> {
    static constexpr Param param = WordParam<T, Kind::Optional>();
};
template <class T> struct Info<List<T>> {
    static constexpr Param param = WordParam<T, Kind::List>();
};
template <class T> struct Info<OneOrMore<T>> {
    static constexpr Param param = WordParam<T, Kind::OneOrMore>();
};
template <char L> struct Info<Text<L>> {
    static constexpr bool rest = L == 'l' || L == 'L';
    static constexpr Param param = rest || L == 'N' || L == 'n'
                                       ? Param{rest ? Kind::Rest : Kind::Fixed, L, 2, 1}
                                       : Param{Kind::Unsupported, 0, 0, 0};
};
template <> struct Info<kxMUtiCmd_Exec_t *> {
    static constexpr Param param{Kind::Fixed, 'E', 0, 1};
};
template <> struct Info<Words> {
    static constexpr Param param{Kind::Words, 0, 0, 2};
};

/* By value or by const reference; a non-const reference has nothing to refer to. */
template <class T> constexpr Param ParamOf()
{
    if constexpr (std::is_lvalue_reference_v<T> && !std::is_const_v<std::remove_reference_t<T>>)
        return Param{Kind::Unsupported, 0, 0, 0};
    else
        return Info<std::remove_cv_t<std::remove_reference_t<T>>>::param;
}

/* ---- The shape of a parameter list ------------------------------------------ */

enum class Error : uint8_t {
    None,
    Unsupported,
    ListNotLast,
    RestNotLast,
    TooMany,
    AfterOptional, /* a required word (or list) after an optional word */
    Ambiguous      /* a word the optional before rejects could fill this one */
};

constexpr unsigned kMaxParams = 16;

/* Where each parameter is found.  The layer's format starts with %X when
 * the callable travels in userData (Target), then %c (the argument count)
 * when there is an optional parameter, then one item per parameter.  The
 * slot count is checked with %X counted, whether it is used or not, so a
 * shape never depends on how a callable ends up being stored. */
struct Layout {
    unsigned n = 0;                  /* parameters */
    Param param[kMaxParams]{};       /* what each one is */
    Error error[kMaxParams]{};       /* the first fault of each one */
    uint8_t slot[kMaxParams]{};      /* its slot with every optional filled */
    uint8_t optBefore[kMaxParams]{}; /* optional parameters before it */
    unsigned nRequired = 0;          /* required single words, all before the optionals */
    unsigned nOptional = 0;
    unsigned countSlot = 0; /* the slot of %c */
    bool ok = true;
};

template <bool Target, class... A> constexpr Layout MakeLayout()
{
    Layout l{};
    const Param params[] = {Param{}, ParamOf<A>()...};
    l.n = sizeof...(A) < kMaxParams ? sizeof...(A) : kMaxParams;
    for (unsigned i = 0; i < l.n; i++) {
        l.param[i] = params[i + 1];
        l.nOptional += l.param[i].kind == Kind::Optional;
    }
    unsigned slots = l.nOptional > 0 ? 2 : 1;
    unsigned optional = 0;
    unsigned optRank = 0; /* rank of the last word-taker since the first optional */
    for (unsigned i = 0; i < l.n; i++) {
        const Param p = l.param[i];
        const bool last = i + 1 == sizeof...(A);
        Error e = Error::None;
        const bool takesWords = p.kind == Kind::Word || p.kind == Kind::Optional ||
                                p.kind == Kind::List || p.kind == Kind::OneOrMore ||
                                p.kind == Kind::Rest;
        l.slot[i] = uint8_t(slots);
        l.optBefore[i] = uint8_t(optional);
        slots += p.slots;
        if (p.kind == Kind::Unsupported)
            e = Error::Unsupported;
        else if ((p.kind == Kind::List || p.kind == Kind::OneOrMore) && !last)
            e = Error::ListNotLast;
        else if (p.kind == Kind::Rest && !last)
            e = Error::RestNotLast;
        else if (slots > kSlots)
            e = Error::TooMany;
        else if (takesWords && optional > 0 && (p.kind == Kind::Word || p.kind == Kind::OneOrMore))
            e = Error::AfterOptional;
        else if (takesWords && optional > 0 && p.rank > optRank)
            e = Error::Ambiguous;
        if (takesWords && (optional > 0 || p.kind == Kind::Optional))
            optRank = p.rank;
        optional += p.kind == Kind::Optional;
        l.nRequired += p.kind == Kind::Word;
        l.error[i] = e;
        l.ok = l.ok && e == Error::None;
    }
    for (unsigned i = 0; i < l.n && !Target; i++)
        l.slot[i]--;
    l.countSlot = Target ? 1 : 0;
    return l;
}

/* The static_assert messages must be literals, so each reason is spelled
 * once per position. */
#define KX_HPP_AT(n, ok, why) static_assert(Pos != (n) || (ok), "kx::add: parameter " #n ": " why);
#define KX_HPP_REPORT(ok, why)                                                                     \
    KX_HPP_AT(1, ok, why)                                                                          \
    KX_HPP_AT(2, ok, why)                                                                          \
    KX_HPP_AT(3, ok, why)                                                                          \
    KX_HPP_AT(4, ok, why)                                                                          \
    KX_HPP_AT(5, ok, why)                                                                          \
    KX_HPP_AT(6, ok, why)                                                                          \
    KX_HPP_AT(7, ok, why)                                                                          \
    KX_HPP_AT(8, ok, why)                                                                          \
    KX_HPP_AT(9, ok, why)                                                                          \
    KX_HPP_AT(10, ok, why)                                                                         \
    static_assert(Pos <= 10 || (ok), "kx::add: parameter 11 or later: " why);

template <unsigned Pos, Error E> struct Report {
    KX_HPP_REPORT(E != Error::Unsupported,
                  "unsupported type (use int32_t, uint32_t, kx::Hex, const char *, "
                  "std::string_view, std::optional or kx::List or kx::OneOrMore of one of those, "
                  "kx::Rest, kx::Line, kx::Name, kx::Typed, kx::Words, kxMUtiCmd_Exec_t *)")
    KX_HPP_REPORT(E != Error::ListNotLast, "a list (kx::List, kx::OneOrMore) must be the last "
                                           "parameter")
    KX_HPP_REPORT(E != Error::RestNotLast, "kx::Rest and kx::Line take every word left and must "
                                           "be the last parameter")
    KX_HPP_REPORT(E != Error::TooMany, "too many parameters for the ten argument slots (a list "
                                       "takes two; the layer takes one, two with an optional)")
    KX_HPP_REPORT(E != Error::AfterOptional, "a required word after an optional one: the optional "
                                             "would take the word it needs")
    KX_HPP_REPORT(E != Error::Ambiguous, "ambiguous: a word that the optional parameter before it "
                                         "rejects could fill this one")
    static constexpr bool ok = E == Error::None;
};
#undef KX_HPP_REPORT
#undef KX_HPP_AT

template <class... A, std::size_t... I> constexpr bool Check(std::index_sequence<I...>)
{
    constexpr Layout l = MakeLayout<true, A...>();
    return (true && ... && Report<I + 1, (I < kMaxParams ? l.error[I] : Error::TooMany)>::ok);
}

/* ---- The derived format --------------------------------------------------- */

struct Format {
    char text[8 + 4 * kMaxParams]{};
};

template <bool Target, class... A> constexpr Format MakeFormat()
{
    constexpr Layout l = MakeLayout<Target, A...>();
    Format f{};
    unsigned n = 0;
    const auto put = [&f, &n](char a, char b, char c) {
        f.text[n++] = a;
        f.text[n++] = b;
        if (c != 0)
            f.text[n++] = c;
    };
    if (Target)
        put('%', 'X', 0);
    if (l.nOptional > 0)
        put('%', 'c', 0);
    for (unsigned i = 0; i < l.n; i++) {
        const Param p = l.param[i];
        if (p.kind == Kind::Words) {
            put('%', 'C', 0);
            put('%', 'V', 0);
        } else {
            put('%', p.letter,
                p.kind == Kind::Optional    ? '?'
                : p.kind == Kind::List      ? '*'
                : p.kind == Kind::OneOrMore ? '+'
                                            : 0);
        }
    }
    return f;
}

template <bool Target, class... A> struct FormatOf {
    static constexpr Format value = MakeFormat<Target, A...>();
};

/* ---- Reading the slots ----------------------------------------------------- */

template <class T> struct Slot {
    static T Get(const kxWord_t *s) { return FromWord<T>(s[0]); }
};
template <class T> struct Slot<std::optional<T>> {
    static std::optional<T> Get(const kxWord_t *s) { return FromWord<T>(s[0]); }
};
template <class T> struct Slot<List<T>> {
    static List<T> Get(const kxWord_t *s)
    {
        return List<T>(static_cast<uint32_t>(s[0]), reinterpret_cast<void *const *>(s[1]));
    }
};
template <class T> struct Slot<OneOrMore<T>> {
    static OneOrMore<T> Get(const kxWord_t *s)
    {
        return OneOrMore<T>(static_cast<uint32_t>(s[0]), reinterpret_cast<void *const *>(s[1]));
    }
};
template <> struct Slot<Words> {
    static Words Get(const kxWord_t *s)
    {
        return Words(static_cast<uint32_t>(s[0]), reinterpret_cast<void *const *>(s[1]));
    }
};
template <char L> struct Slot<Text<L>> {
    static Text<L> Get(const kxWord_t *s) { return Text<L>{reinterpret_cast<const char *>(s[0])}; }
};
template <> struct Slot<kxMUtiCmd_Exec_t *> {
    static kxMUtiCmd_Exec_t *Get(const kxWord_t *s)
    {
        return reinterpret_cast<kxMUtiCmd_Exec_t *>(s[0]);
    }
};

template <class T> using Plain = std::remove_cv_t<std::remove_reference_t<T>>;

/*
 * Parameter I of A..., given k, the number of optional parameters that took
 * a word.  The shape rules make the optionals fill in order: after the first
 * optional only optionals follow that accept no word an earlier one rejects,
 * then at most a list or rest of the same kind, so a word an optional
 * refuses is refused by everything after it and the line fails.  On a line
 * the handler runs, then, exactly the first k optionals took a word, with
 * k = min(optionals, argument words - required words), and each absent one
 * moved the later items up one slot.
 */
template <class L, std::size_t I, class T> Plain<T> Arg(const kxWord_t *s, unsigned k)
{
    constexpr Layout l = L::value;
    if constexpr (l.nOptional == 0) {
        return Slot<Plain<T>>::Get(s + l.slot[I]);
    } else {
        constexpr unsigned before = l.optBefore[I];
        if constexpr (l.param[I].kind == Kind::Optional) {
            if (before >= k)
                return std::nullopt;
            return Slot<Plain<T>>::Get(s + l.slot[I]);
        } else {
            const unsigned absent = before > k ? before - k : 0;
            return Slot<Plain<T>>::Get(s + l.slot[I] - absent);
        }
    }
}

template <bool Target, class... A> struct LayoutOf {
    static constexpr Layout value = MakeLayout<Target, A...>();
};

template <class R, class F, class... Args> uint32_t Invoke(F &fn, Args &&...args)
{
    if constexpr (std::is_void_v<R>) {
        fn(std::forward<Args>(args)...);
        return KX_OK;
    } else {
        return fn(std::forward<Args>(args)...);
    }
}

/* Where a handler finds its callable: in slot 0 (%X, the definition's
 * userData), in the one instance of a stateless type, or in an entry of its
 * signature's table (Pool below). */
template <class Fn> struct InSlot {
    static constexpr bool target = true;
    static decltype(auto) Get(const kxWord_t *s)
    {
        if constexpr (std::is_pointer_v<Fn>)
            return reinterpret_cast<Fn>(s[0]);
        else
            return *reinterpret_cast<Fn *>(s[0]);
    }
};

template <class Fn> struct Stateless {
    alignas(Fn) static inline unsigned char storage[sizeof(Fn)];
    static constexpr bool target = false;
    static Fn &Get(const kxWord_t *) { return *std::launder(reinterpret_cast<Fn *>(storage)); }
};

/* The handler registered for callables found by Src, returning R and taking
 * A...: reads the argument count when there are optional parameters, then
 * hands each parameter its slot. */
template <class Src, class R, class... A, std::size_t... I>
uint32_t Call(const kxWord_t *s, std::index_sequence<I...>)
{
    using L = LayoutOf<Src::target, A...>;
    unsigned k = 0;
    if constexpr (L::value.nOptional > 0) {
        const uint32_t extra = static_cast<uint32_t>(s[L::value.countSlot]) - L::value.nRequired;
        k = extra < L::value.nOptional ? extra : L::value.nOptional;
    }
    auto &&fn = Src::Get(s);
    return Invoke<R>(fn, Arg<L, I, A>(s, k)...);
}

template <class Src, class R, class... A>
uint32_t Handler(kxWord_t a0, kxWord_t a1, kxWord_t a2, kxWord_t a3, kxWord_t a4, kxWord_t a5,
                 kxWord_t a6, kxWord_t a7, kxWord_t a8, kxWord_t a9)
{
    const kxWord_t s[kSlots] = {a0, a1, a2, a3, a4, a5, a6, a7, a8, a9};
    return Call<Src, R, A...>(s, std::index_sequence_for<A...>{});
}

/*
 * Handlers that find their callable without %X, so the interpreter walks
 * one format item less per line: each signature gets KX_HPP_THUNKS
 * handlers, handler N calling the callable bound to entry N of the
 * signature's table (a function, or a function object kept on the heap)
 * through a small typed call.  A callable already in the table shares its
 * entry; once the table is full, callables travel in userData.  0 turns the
 * tables off.  Entries are taken at registration, never given back.
 */
#ifndef KX_HPP_THUNKS
#define KX_HPP_THUNKS 16
#endif

template <class R, class... A> struct Pool {
    using CallFn = R (*)(kxWord_t, A...);
    struct Bound {
        kxWord_t obj; /* the function, or the address of the function object */
        CallFn call;
        template <class... B> R operator()(B &&...b) const
        {
            return call(obj, std::forward<B>(b)...);
        }
    };
    static constexpr unsigned kSize = KX_HPP_THUNKS;
    static inline Bound entries[kSize > 0 ? kSize : 1];
    static inline unsigned used;

    template <unsigned N> struct Entry {
        static constexpr bool target = false;
        static const Bound &Get(const kxWord_t *) { return entries[N]; }
    };
    template <std::size_t... N>
    static kxMUtiCmd_Handler_t HandlerAt(unsigned i, std::index_sequence<N...>)
    {
        static constexpr kxMUtiCmd_Handler_t handlers[] = {nullptr, &Handler<Entry<N>, R, A...>...};
        return handlers[i + 1];
    }

    template <class Fn> static R Call(kxWord_t obj, A... a)
    {
        if constexpr (std::is_pointer_v<Fn>)
            return reinterpret_cast<Fn>(obj)(std::forward<A>(a)...);
        else
            return (*reinterpret_cast<Fn *>(obj))(std::forward<A>(a)...);
    }

    /* The handler calling the Fn at obj, or null when the table is full. */
    template <class Fn> static kxMUtiCmd_Handler_t Take(kxWord_t obj)
    {
        const CallFn call = &Call<Fn>;
        unsigned i = 0;
        while (i < used && (entries[i].obj != obj || entries[i].call != call))
            i++;
        if (i == kSize)
            return nullptr;
        entries[i] = Bound{obj, call};
        used += i == used;
        return HandlerAt(i, std::make_index_sequence<kSize>{});
    }
};

/* ---- The callable's signature ----------------------------------------------- */

template <class R, class... A> struct Sig {
    static constexpr bool deduced = true;
    using Ret = R;
    static constexpr bool returnOk = std::is_void_v<R> || std::is_same_v<R, uint32_t>;
    static constexpr bool shapeOk = Check<A...>(std::index_sequence_for<A...>{});
    template <bool Target> static constexpr const char *format = FormatOf<Target, A...>::value.text;
    template <class Src> static constexpr kxMUtiCmd_Handler_t handler = &Handler<Src, R, A...>;
    using Pool = detail::Pool<R, A...>;
};

template <class M> struct MemberSig {
    static constexpr bool deduced = false;
};
/* quals are qualifiers, which cannot stand in parentheses. */
// NOLINTBEGIN(bugprone-macro-parentheses)
#define KX_HPP_MEMBER(quals)                                                                       \
    template <class C, class R, class... A>                                                        \
    struct MemberSig<R (C::*)(A...) quals> : Sig<R, A...> {                                        \
    };
KX_HPP_MEMBER()
KX_HPP_MEMBER(const)
KX_HPP_MEMBER(noexcept)
KX_HPP_MEMBER(const noexcept)
#undef KX_HPP_MEMBER
// NOLINTEND(bugprone-macro-parentheses)

template <class F, class = void> struct Signature {
    static constexpr bool deduced = false;
};
template <class R, class... A> struct Signature<R (*)(A...)> : Sig<R, A...> {
};
template <class R, class... A> struct Signature<R (*)(A...) noexcept> : Sig<R, A...> {
};
template <class F>
struct Signature<F, std::void_t<decltype(&F::operator())>> : MemberSig<decltype(&F::operator())> {
};

template <class F> constexpr bool kFalse = false;

} // namespace detail

/*
 * Registers callable as command pName in pDefs (null: the global table)
 * through kxMUtiCmd_Add, with the invoke format its parameter types give
 * and the handler that unpacks it; pHelp and pAlias as for kxMUtiCmd_Add,
 * kept by pointer.  Returns the definition, or null when memory runs out.
 *
 * callable is a function, a function pointer or a function object with one
 * call operator, returning uint32_t (the status) or void (KX_OK).  A
 * stateless one (a lambda without captures) needs no storage.  A function
 * object with state is copied (or moved) once into memory taken with
 * nothrow new and kept for the table's life, like the table itself; a
 * command redefined later leaves that copy behind.  Functions and function
 * objects are bound to one of their signature's handlers (KX_HPP_THUNKS);
 * beyond those they travel in userData, which costs the interpreter one
 * format item (%X) per line.  Calls allocate nothing.  Not thread-safe, as
 * registration in the interpreter is not.
 */
template <class F>
kxMUtiCmd_Def_t *add(kxMUtiCmd_Defs_t *pDefs, const char *pName, F &&callable,
                     const char *pHelp = nullptr, const char *pAlias = nullptr)
{
    using Fn = std::decay_t<F>;
    using S = detail::Signature<Fn>;
    if constexpr (!S::deduced) {
        static_assert(detail::kFalse<F>, "kx::add: the callable's parameters cannot be deduced "
                                         "(overloaded or template call operator?)");
        return nullptr;
    } else if constexpr (!S::returnOk) {
        static_assert(detail::kFalse<F>, "kx::add: the callable must return uint32_t (the "
                                         "status) or void");
        return nullptr;
    } else if constexpr (!S::shapeOk) {
        return nullptr; /* the parameter's own static_assert has said why */
    } else {
        static_assert(valid_format(S::template format<true>) &&
                          valid_format(S::template format<false>),
                      "kx::add: derived an invalid format");
        using Pool = typename S::Pool;
        if constexpr (std::is_empty_v<Fn> && std::is_trivially_copyable_v<Fn>) {
            /* Every instance of a stateless type is the same: keep one. */
            new (detail::Stateless<Fn>::storage) Fn(std::forward<F>(callable));
            return kxMUtiCmd_Add(pDefs, S::template handler<detail::Stateless<Fn>>, pName, pAlias,
                                 0, S::template format<false>, 0, pHelp);
        } else {
            Fn *pFn = nullptr;
            kxWord_t obj;
            if constexpr (std::is_pointer_v<Fn>) {
                const Fn fn = callable; /* a function decays to a pointer that is never null */
                if (fn == nullptr)
                    return nullptr;
                obj = reinterpret_cast<kxWord_t>(fn);
            } else {
                pFn = new (std::nothrow) Fn(std::forward<F>(callable));
                if (pFn == nullptr)
                    return nullptr;
                obj = reinterpret_cast<kxWord_t>(pFn);
            }
            kxMUtiCmd_Def_t *pDef;
            if (const kxMUtiCmd_Handler_t handler = Pool::template Take<Fn>(obj))
                pDef = kxMUtiCmd_Add(pDefs, handler, pName, pAlias, 0, S::template format<false>, 0,
                                     pHelp);
            else
                pDef = kxMUtiCmd_Add(pDefs, S::template handler<detail::InSlot<Fn>>, pName, pAlias,
                                     0, S::template format<true>, obj, pHelp);
            if (pDef == nullptr)
                delete pFn; /* its table entry, if any, stays bound and unused */
            return pDef;
        }
    }
}

} // namespace kx

#endif /* KX_MUTI_HPP */
