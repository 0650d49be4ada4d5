// Many Pauli strings in few reads of the state.
//
// Strings are grouped by their X/Y qubits x (a pattern); a pattern's strings
// visit the same pairs in the same order, so each summation block (sum_block
// pair terms, parallel/reduce.hpp) is read once and summed for all of them
// side by side (pauli_block, up to pauli_chunk_terms strings per call).  Every
// string's block totals land in a scratch column, and the column's pairwise
// tree gives its sum, exactly as a string alone would get it.
//
// Where a summation block's amplitudes lie depends on x only through a few
// qubits: it covers the indices whose qubits 0-10 vary (0-11 when every X/Y
// qubit is below 11), joined by its partners across the X/Y qubits at 11 and
// above.  So patterns that differ only in qubits of one cache-sized block
// (qubits 0-10 and up to four higher "block qubits", 2^15 amplitudes) can be
// summed block by block: a worker takes a cache block, and every pattern of
// the pass sums each of its summation blocks that lie in it, whole, while the
// block stays in the core's cache.  Which worker sums which summation block,
// and in which pass, changes no bit: each block total is the same function of
// the same amplitudes, and the trees run afterwards in block order.
//
// The planner gathers patterns into passes greedily (see plan_passes); a
// pattern that needs more block qubits than a cache block has, or that shares
// its pass with no other, streams through the state on its own (a plain
// pass).  States of up to 2^15 amplitudes are one cache block.
#include <algorithm>
#include <memory>
#include <new>
#include <unordered_map>
#include <vector>

#include "common/bits.hpp"
#include "parallel/parallel_for.hpp"
#include "parallel/reduce.hpp"
#include "readout/pauli.hpp"
#include "readout/readout.hpp"

namespace velt {
inline namespace VELT_PRECISION_NS {

namespace {

constexpr int block_bits = 11;  // log2(sum_block)
static_assert(bit(block_bits) == sum_block, "a summation block is 2^block_bits terms");
// Cache blocks of at most 2^15 amplitudes (512 KiB), as apply_sequence's,
// and at least 2^3 of them per state, so that every worker takes several.
constexpr int cache_qubits = 15;
constexpr int min_free_qubits = 3;

struct pattern {
    std::int64_t x = 0;
    int h = 0;
    std::int64_t terms = 0;   // pair terms (x != 0) or amplitudes (x = 0)
    std::int64_t blocks = 0;  // summation blocks
    std::int64_t high = 0;    // qubits from 11 up that its summation blocks span
    std::vector<std::size_t> chunks;
};

// Where a chunk's strings come from: their places in the caller's list and
// their y mod 4.
struct chunk_origin {
    std::size_t pattern = 0;
    std::int64_t string[pauli_chunk_terms] = {};
    int phase[pauli_chunk_terms] = {};
};

enum class pass_kind { small_state, plain, blocked };

struct pass {
    pass_kind kind = pass_kind::plain;
    std::vector<std::size_t> chunks;
    std::vector<int> high;  // blocked: the cache block's qubits from 11 up, ascending
};

int popcount(std::int64_t v) { return __builtin_popcountll(static_cast<unsigned long long>(v)); }

std::vector<int> bits_of(std::int64_t v) {
    std::vector<int> out;
    for (int q = 0; v != 0; ++q, v >>= 1) {
        if ((v & 1) != 0) {
            out.push_back(q);
        }
    }
    return out;
}

// i with bit h taken out: the bits above it move down by one.
std::int64_t remove_bit(std::int64_t i, int h) {
    return ((i >> (h + 1)) << h) | (i & (bit(h) - 1));
}

// Groups the patterns' keys (their `high` masks) into cache blocks of at most
// `room` block qubits.  Greedy, and only a matter of speed: the key set of a
// block grows, step by step, by the key that brings the most patterns inside
// it (ties: fewer new qubits, then the lower mask), until no key fits; the
// candidates of each step are the first 64 keys not yet placed, in
// increasing order, and a block's gain is counted over the subsets of its
// mask (at most 2^room lookups).  Returns each block's mask and keys.
std::vector<std::pair<std::int64_t, std::vector<std::int64_t>>> group_keys(
    const std::vector<std::int64_t>& keys,
    const std::unordered_map<std::int64_t, std::int64_t>& weight, int room) {
    std::unordered_map<std::int64_t, bool> placed;
    for (const std::int64_t k : keys) {
        placed[k] = false;
    }
    const auto gain = [&](std::int64_t mask) {
        // Sum of the weights of the unplaced keys inside mask: every subset.
        std::int64_t total = 0;
        std::int64_t sub = mask;
        while (true) {
            const auto it = placed.find(sub);
            if (it != placed.end() && !it->second) {
                total += weight.at(sub);
            }
            if (sub == 0) {
                break;
            }
            sub = (sub - 1) & mask;
        }
        return total;
    };
    std::vector<std::pair<std::int64_t, std::vector<std::int64_t>>> blocks;
    std::size_t first_open = 0;
    while (true) {
        while (first_open < keys.size() && placed[keys[first_open]]) {
            ++first_open;
        }
        if (first_open == keys.size()) {
            break;
        }
        std::int64_t mask = 0;
        while (true) {
            std::int64_t best = -1;
            std::int64_t best_gain = -1;
            int seen = 0;
            for (std::size_t i = first_open; i < keys.size() && seen < 64; ++i) {
                const std::int64_t k = keys[i];
                if (placed[k]) {
                    continue;
                }
                ++seen;
                const std::int64_t grown = mask | k;
                if (grown == mask || popcount(grown) > room) {
                    continue;
                }
                const std::int64_t g = gain(grown);
                const bool better =
                    g > best_gain ||
                    (g == best_gain && (popcount(grown) < popcount(best) ||
                                        (popcount(grown) == popcount(best) && grown < best)));
                if (better) {
                    best = grown;
                    best_gain = g;
                }
            }
            if (best < 0) {
                break;
            }
            mask = best;
        }
        std::vector<std::int64_t> inside;
        for (std::size_t i = first_open; i < keys.size(); ++i) {
            const std::int64_t k = keys[i];
            if (!placed[k] && (k & ~mask) == 0) {
                placed[k] = true;
                inside.push_back(k);
            }
        }
        blocks.emplace_back(mask, std::move(inside));
    }
    return blocks;
}

// The passes over a state of 2^n_qubits amplitudes.
std::vector<pass> plan_passes(const std::vector<pattern>& patterns, int n_qubits) {
    std::vector<pass> passes;
    if (n_qubits <= cache_qubits) {
        pass all;
        all.kind = pass_kind::small_state;
        for (const pattern& p : patterns) {
            all.chunks.insert(all.chunks.end(), p.chunks.begin(), p.chunks.end());
        }
        passes.push_back(std::move(all));
        return passes;
    }
    const int room = std::min(cache_qubits, n_qubits - min_free_qubits) - block_bits;
    const auto plain = [&](const pattern& p) {
        pass one;
        one.kind = pass_kind::plain;
        one.chunks = p.chunks;
        passes.push_back(std::move(one));
    };
    std::unordered_map<std::int64_t, std::vector<std::size_t>> by_key;
    std::unordered_map<std::int64_t, std::int64_t> weight;
    std::vector<std::int64_t> keys;
    for (std::size_t i = 0; i < patterns.size(); ++i) {
        const std::int64_t k = patterns[i].high;
        if (popcount(k) > room) {
            plain(patterns[i]);
            continue;
        }
        if (by_key.find(k) == by_key.end()) {
            keys.push_back(k);
        }
        by_key[k].push_back(i);
        ++weight[k];
    }
    std::sort(keys.begin(), keys.end());
    for (const auto& [mask, inside] : group_keys(keys, weight, room)) {
        std::vector<std::size_t> members;
        for (const std::int64_t k : inside) {
            const std::vector<std::size_t>& list = by_key[k];
            members.insert(members.end(), list.begin(), list.end());
        }
        std::sort(members.begin(), members.end());  // the caller's order of patterns
        if (members.size() == 1) {
            plain(patterns[members[0]]);
            continue;
        }
        pass blocked;
        blocked.kind = pass_kind::blocked;
        blocked.high = bits_of(mask);
        for (const std::size_t i : members) {
            blocked.chunks.insert(blocked.chunks.end(), patterns[i].chunks.begin(),
                                  patterns[i].chunks.end());
        }
        passes.push_back(std::move(blocked));
    }
    return passes;
}

// Scratch for block totals: no pass holds more than this many doubles
// (64 MiB, or an eighth of the state's size when that is more), unless a
// single chunk needs more; passes are cut in consecutive parts to fit.
std::vector<pass> fit_scratch(std::vector<pass> passes, const std::vector<pauli_chunk>& chunks,
                              const std::vector<chunk_origin>& origin,
                              const std::vector<pattern>& patterns, std::int64_t n) {
    const std::int64_t budget = std::max<std::int64_t>(std::int64_t{1} << 23, n / 4);
    std::vector<pass> out;
    for (pass& p : passes) {
        pass part;
        part.kind = p.kind;
        part.high = p.high;
        std::int64_t used = 0;
        for (const std::size_t c : p.chunks) {
            const std::int64_t need = chunks[c].count * patterns[origin[c].pattern].blocks;
            if (!part.chunks.empty() && used + need > budget) {
                out.push_back(part);
                part.chunks.clear();
                used = 0;
            }
            part.chunks.push_back(c);
            used += need;
        }
        if (!part.chunks.empty()) {
            out.push_back(std::move(part));
        }
    }
    return out;
}

struct aligned_delete {
    void operator()(double* p) const {
        if (p != nullptr) {
            ::operator delete(p, std::align_val_t{64});
        }
    }
};

using work_memory = std::unique_ptr<double, aligned_delete>;
constexpr std::size_t work_size = 2 * static_cast<std::size_t>(sum_block);

// Scratch for pauli_block, one per worker slot, when a chunk needs it.
work_memory allocate_work(bool needed) {
    const auto slots = needed ? static_cast<std::size_t>(worker_slots()) : 0;
    return work_memory(slots == 0 ? nullptr
                                  : static_cast<double*>(::operator new(
                                        slots * work_size * sizeof(double), std::align_val_t{64})));
}

double* worker_work(double* work) {
    return work == nullptr ? nullptr : work + work_size * static_cast<std::size_t>(worker_index());
}

// Each group's sign offset (see pauli_chunk::group_parity), for the groups
// of eight a block of the chunk has.
void fill_group_parity(pauli_chunk& c, std::int64_t n) {
    const std::int64_t terms = c.x == 0 ? n : n / 2;
    const auto groups = static_cast<int>(std::min(sum_block, terms) / sum_lanes);
    for (int g = 0; g < groups; ++g) {
        const std::int64_t offset = c.x == 0 ? std::int64_t{8} * g : insert_zero_bit(8 * g, c.h);
        std::uint64_t bits = 0;
        for (int t = 0; t < c.count; ++t) {
            bits |= static_cast<std::uint64_t>(
                        __builtin_parityll(static_cast<unsigned long long>(offset & c.z[t])))
                    << t;
        }
        c.group_parity[g] = bits;
    }
}

// A string's value from the sum of its terms: i^y times 2 Re c (y even) or
// 2i Im c (y odd) is +2, -2, -2, +2 times the sum for y = 0, 1, 2, 3 mod 4.
double string_value(const pauli_chunk& c, int phase, double sum) {
    return c.x == 0 ? sum : mul((phase == 0 || phase == 3) ? 2.0 : -2.0, sum);
}

// Strings that all fit one chunk (the case of expectation_pauli): no plan,
// one walk over the chunk's blocks.
void sum_one_chunk(const amp* psi, std::int64_t n, const pauli_chunk& c, const chunk_origin& o,
                   double* out) {
    const std::int64_t terms = c.x == 0 ? n : n / 2;
    const std::int64_t blocks = sum_blocks(terms);
    const work_memory work = allocate_work(pauli_block_needs_work(c));
    double* const work_base = work.get();
    if (blocks == 1) {
        double totals[pauli_chunk_terms];
        pauli_block(psi, c, 0, terms, worker_work(work_base), totals, 1);
        for (int t = 0; t < c.count; ++t) {
            out[o.string[t]] = string_value(c, o.phase[t], totals[t]);
        }
        return;
    }
    std::vector<double> scratch(static_cast<std::size_t>(c.count * blocks));
    double* const totals = scratch.data();
    parallel_for(blocks, [&](std::int64_t b) {
        pauli_block(psi, c, b * sum_block, sum_block, worker_work(work_base), totals + b, blocks);
    });
    for (int t = 0; t < c.count; ++t) {
        out[o.string[t]] = string_value(c, o.phase[t], pairwise_total(totals + t * blocks, blocks));
    }
}

}  // namespace

void expectation_paulis(const amp* psi, std::int64_t n, const pauli_string* strings,
                        std::int64_t count, double* out) {
    if (count == 0) {
        return;
    }
    if (count <= pauli_chunk_terms &&
        std::all_of(strings, strings + count,
                    [&](const pauli_string& s) { return s.x == strings[0].x; })) {
        pauli_chunk c;
        chunk_origin o;
        c.x = strings[0].x;
        c.h = c.x == 0 ? 0 : 63 - __builtin_clzll(static_cast<unsigned long long>(c.x));
        for (std::int64_t s = 0; s < count; ++s) {
            c.z[s] = strings[s].z;
            c.imaginary[s] = strings[s].y % 2 != 0;
            o.string[s] = s;
            o.phase[s] = strings[s].y % 4;
        }
        c.count = static_cast<int>(count);
        fill_group_parity(c, n);
        sum_one_chunk(psi, n, c, o, out);
        return;
    }
    const int n_qubits = log2_exact(n);

    // Patterns in order of first appearance, their strings in chunks.
    std::vector<pattern> patterns;
    std::vector<pauli_chunk> chunks;
    std::vector<chunk_origin> origin;
    // A string's pattern: looked up in a map once there are a few of them.
    constexpr std::size_t few_patterns = 16;
    std::unordered_map<std::int64_t, std::size_t> pattern_of;
    const auto find_pattern = [&](std::int64_t x) {
        if (patterns.size() <= few_patterns) {
            for (std::size_t i = 0; i < patterns.size(); ++i) {
                if (patterns[i].x == x) {
                    return i;
                }
            }
            return patterns.size();
        }
        if (pattern_of.empty()) {
            for (std::size_t i = 0; i < patterns.size(); ++i) {
                pattern_of.emplace(patterns[i].x, i);
            }
        }
        const auto it = pattern_of.find(x);
        return it == pattern_of.end() ? patterns.size() : it->second;
    };
    for (std::int64_t s = 0; s < count; ++s) {
        const pauli_string& ps = strings[s];
        std::size_t found = find_pattern(ps.x);
        if (found == patterns.size()) {
            pattern p;
            p.x = ps.x;
            p.h = ps.x == 0 ? 0 : 63 - __builtin_clzll(static_cast<unsigned long long>(ps.x));
            p.terms = ps.x == 0 ? n : n / 2;
            p.blocks = sum_blocks(p.terms);
            p.high = (ps.x >> block_bits) << block_bits;
            if (ps.x != 0 && p.h < block_bits) {
                p.high |= bit(block_bits);
            }
            if (!pattern_of.empty()) {
                pattern_of.emplace(ps.x, patterns.size());
            }
            patterns.push_back(std::move(p));
        }
        pattern& p = patterns[found];
        if (p.chunks.empty() || chunks[p.chunks.back()].count == pauli_chunk_terms) {
            p.chunks.push_back(chunks.size());
            chunks.emplace_back();
            chunks.back().x = p.x;
            chunks.back().h = p.h;
            chunk_origin o;
            o.pattern = found;
            origin.push_back(o);
        }
        const std::size_t ci = p.chunks.back();
        pauli_chunk& c = chunks[ci];
        c.z[c.count] = ps.z;
        c.imaginary[c.count] = ps.y % 2 != 0;
        origin[ci].string[c.count] = s;
        origin[ci].phase[c.count] = ps.y % 4;
        ++c.count;
    }
    bool needs_work = false;
    for (pauli_chunk& c : chunks) {
        fill_group_parity(c, n);
        needs_work = needs_work || pauli_block_needs_work(c);
    }

    const std::vector<pass> passes =
        fit_scratch(plan_passes(patterns, n_qubits), chunks, origin, patterns, n);

    // Everything the passes need, before the state is read.
    std::vector<std::vector<std::int64_t>> offsets(passes.size());
    std::int64_t scratch_size = 0;
    for (std::size_t k = 0; k < passes.size(); ++k) {
        std::int64_t used = 0;
        for (const std::size_t c : passes[k].chunks) {
            offsets[k].push_back(used);
            used += chunks[c].count * patterns[origin[c].pattern].blocks;
        }
        scratch_size = std::max(scratch_size, used);
    }
    std::vector<double> scratch(static_cast<std::size_t>(scratch_size));
    const work_memory work = allocate_work(needs_work);
    std::vector<std::vector<std::pair<std::size_t, std::int64_t>>> items(passes.size());
    std::vector<std::vector<std::vector<int>>> free_bits(passes.size());
    for (std::size_t k = 0; k < passes.size(); ++k) {
        const pass& ps = passes[k];
        if (ps.kind == pass_kind::small_state) {
            for (std::size_t j = 0; j < ps.chunks.size(); ++j) {
                for (std::int64_t b = 0; b < patterns[origin[ps.chunks[j]].pattern].blocks; ++b) {
                    items[k].emplace_back(j, b);
                }
            }
        } else if (ps.kind == pass_kind::blocked) {
            // The block qubits a chunk's summation blocks do not span: one
            // summation block per value of them in each cache block.
            for (const std::size_t c : ps.chunks) {
                const pattern& p = patterns[origin[c].pattern];
                const int spanned = p.x == 0 ? -1 : (p.h >= block_bits ? p.h : block_bits);
                std::vector<int> rest;
                for (const int q : ps.high) {
                    if (q != spanned) {
                        rest.push_back(q);
                    }
                }
                free_bits[k].push_back(std::move(rest));
            }
        }
    }

    for (std::size_t k = 0; k < passes.size(); ++k) {
        const pass& ps = passes[k];
        double* const totals = scratch.data();
        double* const work_base = work.get();
        const std::int64_t* const offset = offsets[k].data();
        const std::size_t* const chunk_list = ps.chunks.data();
        const pauli_chunk* const chunk = chunks.data();
        const auto blocks_of = [&](std::size_t c) { return patterns[origin[c].pattern].blocks; };
        const auto one_block = [&](std::size_t j, std::int64_t b, double* w) {
            const std::size_t c = chunk_list[j];
            const std::int64_t blocks = blocks_of(c);
            const std::int64_t terms = patterns[origin[c].pattern].terms;
            pauli_block(psi, chunk[c], b * sum_block, std::min(sum_block, terms), w,
                        totals + offset[j] + b, blocks);
        };
        if (ps.kind == pass_kind::small_state) {
            const auto& list = items[k];
            std::int64_t amount = 0;
            for (const std::size_t c : ps.chunks) {
                amount += patterns[origin[c].pattern].terms;
            }
            parallel_for(static_cast<std::int64_t>(list.size()),
                         loop_work{amount, serial_below::dense_amplitudes}, [&](std::int64_t i) {
                             const auto& [j, b] = list[static_cast<std::size_t>(i)];
                             one_block(j, b, worker_work(work_base));
                         });
        } else if (ps.kind == pass_kind::plain) {
            const std::int64_t blocks = blocks_of(chunk_list[0]);
            parallel_for(blocks, [&](std::int64_t b) {
                double* w = worker_work(work_base);
                for (std::size_t j = 0; j < ps.chunks.size(); ++j) {
                    one_block(j, b, w);
                }
            });
        } else {
            const int m = static_cast<int>(ps.high.size());
            const std::int64_t cache_blocks = n >> (block_bits + m);
            const auto& rest = free_bits[k];
            parallel_for(cache_blocks, [&](std::int64_t o) {
                double* w = worker_work(work_base);
                std::int64_t outer = o << block_bits;
                for (const int q : ps.high) {
                    outer = insert_zero_bit(outer, q);
                }
                for (std::size_t j = 0; j < ps.chunks.size(); ++j) {
                    const pattern& p = patterns[origin[chunk_list[j]].pattern];
                    const std::vector<int>& free = rest[j];
                    const int r = static_cast<int>(free.size());
                    for (std::int64_t f = 0; f < bit(r); ++f) {
                        const std::int64_t base = deposit_bits(f, free.data(), r, outer);
                        const std::int64_t b =
                            (p.x == 0 ? base : remove_bit(base, p.h)) >> block_bits;
                        one_block(j, b, w);
                    }
                }
            });
        }
        // The trees, on the calling thread: blocks / one pass of leaves each.
        for (std::size_t j = 0; j < ps.chunks.size(); ++j) {
            const std::size_t c = chunk_list[j];
            const std::int64_t blocks = blocks_of(c);
            for (int t = 0; t < chunks[c].count; ++t) {
                const double sum = pairwise_total(totals + offset[j] + t * blocks, blocks);
                out[origin[c].string[t]] = string_value(chunks[c], origin[c].phase[t], sum);
            }
        }
    }
}

std::complex<double> inner_product(const amp* a, const amp* b, std::int64_t n) {
    double sums[2];
    blocked_sums(
        n, 2,
        [=](std::int64_t first, std::int64_t length, double* totals) {
            overlap_block(a, b, first, length, totals);
        },
        sums);
    return {sums[0], sums[1]};
}

}  // namespace VELT_PRECISION_NS
}  // namespace velt
