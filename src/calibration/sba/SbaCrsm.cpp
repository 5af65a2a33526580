// The compressed-row visibility structure and its look-ups.
#include "calibration/sba/SbaCrsm.h"

#include <cstdio>
#include <cstdlib>

bool sba_crsm_alloc(sba_crsm* sm, int nr, int nc, int nnz) {
  if (sm == nullptr) return false;
  if (nr < 0 || nc < 0 || nnz < 0) {
    std::fprintf(stderr, "SBA: invalid sizes in sba_crsm_alloc() [nr=%d, nc=%d, nnz=%d]\n", nr, nc, nnz);
    return false;
  }
  const std::size_t count = 2 * static_cast<std::size_t>(nnz) + static_cast<std::size_t>(nr) + 1;
  int* storage = static_cast<int*>(std::malloc(count * sizeof(int)));
  if (storage == nullptr) {
    std::fprintf(stderr, "SBA: memory allocation request failed in sba_crsm_alloc() [nr=%d, nc=%d, nnz=%d]\n",
                 nr, nc, nnz);
    sm->nr = sm->nc = sm->nnz = -1;
    sm->val = sm->colidx = sm->rowptr = nullptr;
    return false;
  }
  sm->nr = nr;
  sm->nc = nc;
  sm->nnz = nnz;
  sm->val = storage;
  sm->colidx = storage + nnz;
  sm->rowptr = storage + 2 * static_cast<std::size_t>(nnz);
  return true;
}

void sba_crsm_free(sba_crsm* sm) {
  if (sm == nullptr) return;
  std::free(sm->val);  // the one allocation starts at val
  sm->val = sm->colidx = sm->rowptr = nullptr;
  sm->nr = sm->nc = sm->nnz = -1;
}

void sba_crsm_from_mask(sba_crsm* sm, const char* vmask, int n, int m) {
  int k = 0;
  for (int i = 0; i < n; ++i) {
    sm->rowptr[i] = k;
    const char* row = vmask + static_cast<std::size_t>(i) * m;
    for (int j = 0; j < m; ++j) {
      if (row[j]) {
        sm->val[k] = k;
        sm->colidx[k] = j;
        ++k;
      }
    }
  }
  sm->rowptr[n] = k;
}

namespace {

// Binary search for column j among colidx[low, high); -1 when absent.
int searchRow(const sba_crsm* sm, int low, int high, int j) {
  while (low < high) {
    const int mid = low + (high - low) / 2;
    const int c = sm->colidx[mid];
    if (c == j) return sm->val[mid];
    if (c < j) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return -1;
}

// Position in colidx of the non-zero whose val is idx (val is the identity for our structures,
// but the search does not rely on it).
int positionOfValue(const sba_crsm* sm, int i, int idx) {
  for (int k = sm->rowptr[i]; k < sm->rowptr[i + 1]; ++k) {
    if (sm->val[k] == idx) return k;
  }
  return -1;
}

}  // namespace

int sba_crsm_elmidx(const sba_crsm* sm, int i, int j) {
  if (i < 0 || i >= sm->nr || j < 0 || j >= sm->nc) return -1;
  return searchRow(sm, sm->rowptr[i], sm->rowptr[i + 1], j);
}

int sba_crsm_elmidxp(const sba_crsm* sm, int i, int j, int jp, int jpidx) {
  if (i < 0 || i >= sm->nr || j < 0 || j >= sm->nc) return -1;
  if (j == jp) return jpidx;
  const int low = sm->rowptr[i];
  const int high = sm->rowptr[i + 1];
  // The hint is a val index; in our structures it is also the position, otherwise find it.
  int hint = (jpidx >= low && jpidx < high && sm->val[jpidx] == jpidx) ? jpidx : positionOfValue(sm, i, jpidx);
  if (hint < 0) return searchRow(sm, low, high, j);
  if (j > jp) return searchRow(sm, hint + 1, high, j);
  return searchRow(sm, low, hint, j);
}

int sba_crsm_row_elmidxs(const sba_crsm* sm, int i, int* vidxs, int* jidxs) {
  int count = 0;
  for (int k = sm->rowptr[i]; k < sm->rowptr[i + 1]; ++k, ++count) {
    vidxs[count] = sm->val[k];
    jidxs[count] = sm->colidx[k];
  }
  return count;
}

int sba_crsm_col_elmidxs(const sba_crsm* sm, int j, int* vidxs, int* iidxs) {
  int count = 0;
  for (int i = 0; i < sm->nr; ++i) {
    const int idx = searchRow(sm, sm->rowptr[i], sm->rowptr[i + 1], j);
    if (idx >= 0) {
      vidxs[count] = idx;
      iidxs[count] = i;
      ++count;
    }
  }
  return count;
}
