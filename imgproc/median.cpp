#include <cstdint>
#include <cstdlib>

#include "core/log.hpp"
#include "imgproc/median.hpp"
#include <vexel/filter.h>

namespace {

// One window position. Coordinates are extended: -e .. w+e-1, stored shifted by e.
struct Node {
    int32_t value;
    int32_t col, row;
    Node* next;
    Node* prev;
};

// The window's values as one list sorted ascending, with a pointer to its middle element.
// `balance` counts nodes after the median minus nodes before it, kept in {-1, 0, +1}.
struct Window {
    Node* head = nullptr;
    Node* tail = nullptr;
    Node* median = nullptr;
    int balance = 0;
    int count = 0;
};

[[noreturn]] void out_of_memory(const char* who) {
    vx::logf(vx::kErr, "[%s] malloc failed\n", who);
    std::exit(-3);
}

void rebalance(Window& win) {
    if (win.balance == 2) {
        win.median = win.median->next;
        win.balance = 0;
    } else if (win.balance == -2) {
        win.median = win.median->prev;
        win.balance = 0;
    }
}

void insert_before(Window& win, Node* at, Node* n) {
    n->next = at;
    n->prev = at->prev;
    if (at->prev) at->prev->next = n;
    else win.head = n;
    at->prev = n;
}

void append(Window& win, Node* n) {
    n->next = nullptr;
    n->prev = win.tail;
    win.tail->next = n;
    win.tail = n;
}

// Equal values keep insertion order: a new node goes after the values equal to it.
void add(Window& win, Node* n) {
    ++win.count;
    if (!win.head) {
        n->next = n->prev = nullptr;
        win.head = win.tail = win.median = n;
        win.balance = 0;
        return;
    }
    const int32_t v = n->value;
    Node* p;
    if (v < win.median->value) {
        --win.balance;
        p = win.head;
    } else {
        ++win.balance;
        p = win.median->next;
    }
    while (p && p->value <= v) p = p->next;
    if (p) insert_before(win, p, n);
    else append(win, n);
    rebalance(win);
}

void remove(Window& win, Node* n) {
    Node* m = win.median;
    if (n == m) {
        win.median = m->next;
        --win.balance;
    } else if (m->value < n->value) {
        --win.balance;
    } else if (n->value < m->value) {
        ++win.balance;
    } else {
        // Same value: n is after the median exactly when it is in the run of equals after it.
        Node* p = m->next;
        while (p && p->value == m->value && p != n) p = p->next;
        if (p == n) --win.balance;
        else ++win.balance;
    }
    if (n->prev) n->prev->next = n->next;
    else win.head = n->next;
    if (n->next) n->next->prev = n->prev;
    else win.tail = n->prev;
    --win.count;
    rebalance(win);
}

}  // namespace

namespace vx {

void median2d_general(uint16_t* dst, const uint16_t* src, int w, int h, int kernel) {
    const int e = (kernel - 1) / 2;
    const size_t iw = size_t(w) + size_t(kernel) - 1, ih = size_t(h) + size_t(kernel) - 1;
    auto* index = static_cast<Node**>(std::calloc(iw * ih, sizeof(Node*)));
    if (!index) out_of_memory("vx_median2d_u16");
    // The k*k nodes are reused for the whole image; one block instead of one per node.
    auto* pool = static_cast<Node*>(std::malloc(sizeof(Node) * size_t(kernel) * size_t(kernel)));
    if (!pool) out_of_memory("_median2d_u16_add_val");

    const auto value_at = [&](int x, int y) -> int32_t {
        x = x < 0 ? 0 : (x >= w ? w - 1 : x);
        y = y < 0 ? 0 : (y >= h ? h - 1 : y);
        return src[size_t(y) * w + x];
    };
    Window win;
    Node* next_free = pool;
    for (int dy = -e; dy <= e; ++dy) {
        for (int dx = -e; dx <= e; ++dx) {
            Node* n = next_free++;
            n->value = value_at(dx, dy);
            n->col = dx + e;
            n->row = dy + e;
            index[size_t(n->row) * iw + n->col] = n;
            add(win, n);
        }
    }
    // Moves the node at extended (lc, lr) to (ec, er), refilled from the image as it is now.
    const auto exchange = [&](int lc, int lr, int ec, int er) {
        Node*& slot = index[size_t(lr) * iw + lc];
        Node* n = slot;
        slot = nullptr;
        remove(win, n);
        n->value = value_at(ec - e, er - e);
        n->col = ec;
        n->row = er;
        index[size_t(er) * iw + ec] = n;
        add(win, n);
    };

    for (int y = 0; y < h; ++y) {
        const int dir = (y % 2 == 0) ? 1 : -1;
        int x = dir > 0 ? 0 : w - 1;
        for (;;) {
            dst[size_t(y) * w + x] = static_cast<uint16_t>(win.median->value);
            const int nx = x + dir;
            if (nx < 0 || nx >= w) break;
            // Extended columns: the trailing one leaves, the one beyond the new centre enters.
            const int leave = x - dir * e + e, enter = nx + dir * e + e;
            for (int r = y; r <= y + 2 * e; ++r) exchange(leave, r, enter, r);
            x = nx;
        }
        if (y + 1 < h) {
            for (int c = x; c <= x + 2 * e; ++c) exchange(c, y, c, y + 1 + 2 * e);
        }
    }
    std::free(pool);
    std::free(index);
}

}  // namespace vx

extern "C" {

void vx_median2d_u16_k3(uint16_t* dst, const uint16_t* src, int32_t w, int32_t h) {
    if (w <= 1 || h <= 1 || !dst || !src) {
        vx::logf(vx::kErr, "[%s]  wrong parameter:w/h=%d/%d\n", __func__, w, h);
        return;
    }
    vx::median2d_fixed(vx::Isa::kAvx512, 3, dst, src, w, h);
}

void vx_median2d_u16_k5(uint16_t* dst, const uint16_t* src, int32_t w, int32_t h) {
    if (w <= 1 || h <= 1 || !dst || !src) {
        vx::logf(vx::kErr, "[%s]  wrong parameter:w/h=%d/%d\n", __func__, w, h);
        return;
    }
    vx::median2d_fixed(vx::Isa::kAvx512, 5, dst, src, w, h);
}

void vx_median2d_u16(uint16_t* dst, const uint16_t* src, int32_t w, int32_t h, int32_t kernel) {
    if (kernel == 3) return vx_median2d_u16_k3(dst, src, w, h);
    if (kernel == 5) return vx_median2d_u16_k5(dst, src, w, h);
    // Kernel below 2w and 2h keeps the half-width inside the image, so clamping reaches
    // every extended position.
    if (kernel % 2 == 0 || kernel <= 2 || kernel >= 2 * int64_t{w} || kernel >= 2 * int64_t{h} || !dst || !src) {
        vx::logf(vx::kErr, "[%s]  wrong parameter:w/h/kernel=%d/%d/%d\n", __func__, w, h, kernel);
        return;
    }
    vx::median2d_general(dst, src, w, h, kernel);
}

}  // extern "C"
