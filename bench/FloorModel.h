// The reference schedule of a whole run: every thread runs its steps in
// order; a step costs its prescribed pauses plus the latency of its requests
// (2,048 per 64 KiB download, 8 per table access, one per 32-byte block read
// back; each image is written, then read back, before the other); a step under the firmware lock or the enumeration lock starts when
// that lock is free, first come first served; nothing else is serialised; a
// polling loop sees its condition only at its own poll instants; the schedule
// ends when the coordinator requests the exit.
//
// The scan before the workers and one rescan of the tree are costed by the
// case's machine (they walk the USB tree); everything from the workers' start
// to the exit request is scheduled here.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

namespace bench_model {

struct RunShape {
    std::vector<int> tiers;       // per hub
    std::vector<int> parents;     // per hub: index of the parent hub, -1 below a root hub
    std::size_t imageLength = 0;  // F
    std::uint64_t latencyUs = 0;
    double workersStartMs = 0;    // end of the scan and the preparation
    double rescanMs = 0;          // one walk of the tree with every hub present
    double restartMs = 0;         // a reset hub's absence
};

struct Breakdown {
    double workersStartMs = 0, allReadyMs = 0, lastResetMs = 0, lastFinishMs = 0, endMs = 0;
    std::string Text() const {
        char buf[200];
        std::snprintf(buf, sizeof buf, "floor: scan %.0f | update %.0f | resets %.0f | re-identify %.0f | end %.0f",
                      workersStartMs, allReadyMs - workersStartMs, lastResetMs - allReadyMs,
                      lastFinishMs - lastResetMs, endMs - lastFinishMs);
        return buf;
    }
};

class Lock {
public:
    // The step asked for the lock at `at` and holds it `hold` ms: when it ends.
    double Take(double at, double hold) {
        const double start = std::max(at, freeAt_);
        freeAt_ = start + hold;
        return freeAt_;
    }

private:
    double freeAt_ = 0;
};

inline Breakdown WholeRunFloor(const RunShape& s) {
    const double lat = static_cast<double>(s.latencyUs) / 1000.0;
    const auto R = [lat](double requests) { return requests * lat; };
    const std::size_t n = s.tiers.size();
    const double download = static_cast<double>((s.imageLength + 4 + 31) / 32);  // chunks
    const double readBack = static_cast<double>((s.imageLength + 32 + 31) / 32);  // blocks incl. length word
    const double erase = 2 * (100 + 100) + R(6);                                    // two parts, poll 100 + settle 100

    Lock firmware, enumeration;  // the enumeration lock of the update stage
    Breakdown b;
    b.workersStartMs = s.workersStartMs;

    // --- update stage, every worker from the same start; steps interleave
    // in time order at the locks.
    struct W {
        double t = 0;
        int step = 0;
        double ready = 0, reset = 0, back = 0, finish = 0;
    };
    std::vector<W> w(n);
    // Register tweaks (12), the chip version read until two reads agree (2),
    // the chip's table read until two reads agree (16) and its settle, image
    // 0's first firmware block read until two reads agree (2) and its
    // firmware area read until two reads agree to choose the order, the
    // first block read with value 1 until two reads agree (2).
    for (auto& x : w) x.t = s.workersStartMs + R(12) + R(2) + R(16) + 500 + R(2) + 2 * R(readBack) + R(2);
    // One image after the other: 0 table+erase image A, 1 firmware A (lock),
    // 2 read-back of A (lock), 3 table+erase B, 4 firmware B (lock), 5
    // read-back of B (lock).
    for (;;) {
        std::size_t next = n;
        for (std::size_t i = 0; i < n; ++i)
            if (w[i].step < 6 && (next == n || w[i].t < w[next].t)) next = i;
        if (next == n) break;
        W& x = w[next];
        switch (x.step) {
            case 0:
            case 3: x.t += erase + R(8) + 500; break;
            case 1:
            case 4: x.t = firmware.Take(x.t, R(download)) + 800; break;
            case 2: x.t = enumeration.Take(x.t, R(8) + R(readBack)) + 500; break;
            case 5: x.t = enumeration.Take(x.t, R(8) + R(readBack)) + 500; x.ready = x.t; break;
        }
        ++x.step;
    }
    double allReady = 0;
    for (const auto& x : w) allReady = std::max(allReady, x.ready);
    b.allReadyMs = allReady;

    // --- reset gate: the coordinator lowers the tier at its 500 ms pass
    // instants once every hub of the tier has reset; a worker resets at its
    // first gate poll (every 800 ms from ready + 500) that sees everyone
    // ready and its tier open.
    int tier = *std::max_element(s.tiers.begin(), s.tiers.end());
    std::vector<bool> done(n, false);
    double tierOpen = allReady;  // the deepest tier is open as soon as all are ready
    std::size_t resetCount = 0;
    double coordinatorPass = s.workersStartMs;
    while (resetCount < n) {
        for (std::size_t i = 0; i < n; ++i) {
            if (done[i] || s.tiers[i] != tier) continue;
            double poll = w[i].ready + 500;
            while (poll < tierOpen) poll += 800;
            w[i].reset = poll + R(1);
            done[i] = true;
            ++resetCount;
        }
        // The coordinator sees the tier done at its next pass.
        double tierDone = 0;
        for (std::size_t i = 0; i < n; ++i)
            if (s.tiers[i] == tier) tierDone = std::max(tierDone, w[i].reset);
        while (coordinatorPass < tierDone) coordinatorPass += 500;
        // Empty tiers are passed over one per pass.
        --tier;
        while (tier > 1 && std::none_of(s.tiers.begin(), s.tiers.end(), [&](int t) { return t == tier; })) {
            coordinatorPass += 500;
            --tier;
        }
        tierOpen = coordinatorPass;
        if (tier < 1) break;
    }
    double lastReset = 0;
    for (const auto& x : w) lastReset = std::max(lastReset, x.reset);
    b.lastResetMs = lastReset;

    // A hub is away while it or a hub above it is away after its reset.
    const auto away = [&](std::size_t i, double t) {
        for (int a = static_cast<int>(i); a >= 0; a = s.parents[a])
            if (t >= w[a].reset && t < w[a].reset + s.restartMs) return true;
        return false;
    };
    const auto allAway = [&](double t) {
        for (std::size_t j = 0; j < n; ++j)
            if (!away(j, t)) return false;
        return true;
    };

    // --- wait for every reset, then re-identify under the enumeration lock:
    // a walk finds the hub only when it is back (else 750 ms, or 2,000 ms when
    // the walk found no hub at all; up to 3 walks, then the next poll).
    std::vector<double> poll(n);
    for (std::size_t i = 0; i < n; ++i) {
        double t = w[i].reset + 500;
        while (t < lastReset) t += 500 + 250.0 * s.tiers[i] + 500;
        poll[i] = t;
    }
    // One re-identification call at a time, first asked first served; a
    // call that does not find its hub asks again after its next poll.
    std::vector<bool> finished(n, false);
    double lockFree = 0;
    for (std::size_t left = n; left > 0;) {
        std::size_t i = n;
        for (std::size_t j = 0; j < n; ++j)
            if (!finished[j] && (i == n || poll[j] < poll[i])) i = j;
        double at = std::max(poll[i], lockFree);
        bool found = false;
        for (int attempt = 0; attempt < 3 && !found; ++attempt) {
            at += s.rescanMs;
            if (!away(i, at)) found = true;
            else at += allAway(at) ? 2000 : 750;
        }
        if (found) at += R(3);
        lockFree = at;
        if (found) {
            w[i].finish = at;
            finished[i] = true;
            --left;
        } else {
            poll[i] = at + 500;
        }
    }
    double lastFinish = 0;
    for (const auto& x : w) lastFinish = std::max(lastFinish, x.finish);
    b.lastFinishMs = lastFinish;
    while (coordinatorPass < lastFinish) coordinatorPass += 500;
    b.endMs = coordinatorPass + 500;  // 500 ms before OK, then the exit request
    return b;
}

}  // namespace bench_model
