// The compressed-row sparse matrix of a bundle problem's visibility: rows are points, columns cameras.
#pragma once

// Non-zero k is the k-th visible projection, numbered point by point and, within a point, camera by
// camera, so `val[k] == k` for a structure built from a visibility mask. The three arrays share one
// allocation of 2·nnz + nr + 1 integers owned by the structure until `sba_crsm_free`.
struct sba_crsm {
  int nr = -1;               // rows (points)
  int nc = -1;               // columns (cameras)
  int nnz = -1;              // non-zeros (visible projections)
  int* val = nullptr;        // running index of each non-zero's projection
  int* colidx = nullptr;     // camera of each non-zero, ascending within a row
  int* rowptr = nullptr;     // start of each row in val and colidx; rowptr[nr] == nnz
};

// Allocates the arrays for the given sizes. Returns false (with a message on the standard error
// stream, the structure left empty) when the sizes are negative or the memory cannot be had.
bool sba_crsm_alloc(sba_crsm* sm, int nr, int nc, int nnz);
// Releases the arrays and sets the sizes to -1; safe on an empty structure.
void sba_crsm_free(sba_crsm* sm);

// Fills an allocated structure of n rows, m columns and nvis non-zeros from an n·m point-major
// visibility mask (entry i·m + j non-zero where camera j sees point i).
void sba_crsm_from_mask(sba_crsm* sm, const char* vmask, int n, int m);

// Index into val of element (i, j), or -1 when camera j does not see point i.
int sba_crsm_elmidx(const sba_crsm* sm, int i, int j);
// As sba_crsm_elmidx, with the known index jpidx of element (i, jp) narrowing the search.
int sba_crsm_elmidxp(const sba_crsm* sm, int i, int j, int jp, int jpidx);
// The val indices and column indices of row i's non-zeros; returns their count.
int sba_crsm_row_elmidxs(const sba_crsm* sm, int i, int* vidxs, int* jidxs);
// The val indices and row indices of column j's non-zeros, in row order; returns their count.
int sba_crsm_col_elmidxs(const sba_crsm* sm, int j, int* vidxs, int* iidxs);

// Owns a structure for one scope, so every return path releases it.
class SbaCrsmHolder {
public:
  SbaCrsmHolder() = default;
  ~SbaCrsmHolder() { sba_crsm_free(&crsm); }
  SbaCrsmHolder(const SbaCrsmHolder&) = delete;
  SbaCrsmHolder& operator=(const SbaCrsmHolder&) = delete;
  sba_crsm crsm;
};
