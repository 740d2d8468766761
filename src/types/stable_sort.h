#pragma once
// Bottom-up merge sort that never reads outside its range whatever the
// comparator answers, and keeps equal elements in their input order.
#include <algorithm>
#include <utility>
#include <vector>

namespace zembrel {

template <class T, class Less>
void stable_merge_sort(std::vector<T>& items, Less less) {
    const size_t n = items.size();
    if (n < 2) return;
    std::vector<T> buffer(n);
    std::vector<T>* src = &items;
    std::vector<T>* dst = &buffer;
    for (size_t width = 1; width < n; width *= 2) {
        for (size_t lo = 0; lo < n; lo += 2 * width) {
            size_t mid = std::min(lo + width, n), hi = std::min(lo + 2 * width, n);
            size_t i = lo, j = mid, k = lo;
            while (i < mid && j < hi) {
                if (less((*src)[j], (*src)[i])) (*dst)[k++] = std::move((*src)[j++]);
                else (*dst)[k++] = std::move((*src)[i++]);
            }
            while (i < mid) (*dst)[k++] = std::move((*src)[i++]);
            while (j < hi) (*dst)[k++] = std::move((*src)[j++]);
        }
        std::swap(src, dst);
    }
    if (src != &items) items = std::move(*src);
}

}  // namespace zembrel
