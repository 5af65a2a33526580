// Dense linear solvers on LAPACK (through LAPACKE) for the bundle adjustment.
#include "calibration/sba/SbaDenseSolvers.h"

#include <lapacke.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

namespace {

// Every call below works on column-major storage, so LAPACKE never transposes or allocates.
constexpr int kLayout = LAPACK_COL_MAJOR;

// Grows one of the workspace's buffers to at least `count` values (it never shrinks, so repeated
// solves of one size do not allocate); false when memory is short.
template <typename T>
bool reserve(std::vector<T>& buffer, std::size_t count, const char* function) {
  try {
    if (buffer.size() < count) buffer.resize(count);
    return true;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "memory allocation in %s() failed!\n", function);
    return false;
  }
}

bool reserveDoubles(SbaDenseWorkspace& ws, std::size_t count, const char* function) {
  return reserve(ws.doubles, count, function);
}

bool reserveInts(SbaDenseWorkspace& ws, std::size_t count, const char* function) {
  return reserve(ws.ints, count, function);
}

// Copies A into `dst` in column-major order: a transpose for row-major input.
void copyColumnMajor(const double* A, double* dst, int m, bool columnMajor) {
  const std::size_t mm = static_cast<std::size_t>(m) * m;
  if (columnMajor) {
    std::memcpy(dst, A, mm * sizeof(double));
    return;
  }
  for (int r = 0; r < m; ++r) {
    for (int c = 0; c < m; ++c) dst[r + static_cast<std::size_t>(c) * m] = A[static_cast<std::size_t>(r) * m + c];
  }
}

// The column-major matrix a solver factorises: A itself in column-major mode, else a copy at the
// start of the workspace.
double* factorStorage(double* A, int m, int iscolmaj, SbaDenseWorkspace& ws, std::size_t extra,
                      const char* function) {
  const std::size_t mm = static_cast<std::size_t>(m) * m;
  if (!reserveDoubles(ws, (iscolmaj ? 0 : mm) + extra, function)) return nullptr;
  if (iscolmaj) return A;
  copyColumnMajor(A, ws.doubles.data(), m, false);
  return ws.doubles.data();
}

// LAPACK's own argument checks may end the process (reference LAPACK's xerbla stops), so a
// negative order never reaches it.
bool negativeOrder(int m, const char* function) {
  if (m >= 0) return false;
  std::fprintf(stderr, "illegal matrix order %d in %s()\n", m, function);
  return true;
}

// What every solver does first: pick the caller's workspace (or one for this call alone), let a
// null A release it, refuse a negative order; then `solve` runs in that workspace.
template <typename Solve>
int withWorkspace(const double* A, int m, SbaDenseWorkspace* ws, const char* function, Solve&& solve) {
  SbaDenseWorkspace local;
  SbaDenseWorkspace& w = ws ? *ws : local;
  if (A == nullptr) {
    w.release();
    return 1;
  }
  if (negativeOrder(m, function)) return -1;
  return solve(w);
}

// out = Aᵀ·b for a column-major m×m A (out must not alias b).
void transposedProduct(const double* a, const double* b, int m, double* out) {
  for (int c = 0; c < m; ++c) {
    double sum = 0.0;
    for (int k = 0; k < m; ++k) sum += a[k + static_cast<std::size_t>(c) * m] * b[k];
    out[c] = sum;
  }
}

// x ← b, unless they are one array.
void copyRightHandSide(const double* b, double* x, int m) {
  if (x != b) std::memmove(x, b, static_cast<std::size_t>(m) * sizeof(double));
}

// dtrtrs found a zero on the diagonal of the triangular factor.
int singularTriangle(const char* function, lapack_int info) {
  std::fprintf(stderr, "LAPACK error: the %d-th diagonal element of A is zero (singular matrix) in %s()\n",
               static_cast<int>(info), function);
  return 0;
}

int illegal(const char* routine, const char* function, lapack_int info) {
  std::fprintf(stderr, "LAPACK error: illegal value for argument %d of %s in %s()\n", static_cast<int>(-info), routine,
               function);
  return -1;
}

}  // namespace

int sba_Axb_Chol(double* A, double* B, double* x, int m, int iscolmaj, SbaDenseWorkspace* ws) {
  return withWorkspace(A, m, ws, "sba_Axb_Chol", [&](SbaDenseWorkspace& w) {
    double* a = factorStorage(A, m, iscolmaj, w, 0, "sba_Axb_Chol");
    if (a == nullptr) return -1;
    copyRightHandSide(B, x, m);
    lapack_int info = LAPACKE_dpotrf_work(kLayout, 'U', m, a, m);
    if (info > 0) {
      std::fprintf(stderr,
                   "LAPACK error: the leading minor of order %d is not positive definite,\nthe factorization could "
                   "not be completed for dpotf2/dpotrf in sba_Axb_Chol()\n",
                   static_cast<int>(info));
      return 0;
    }
    if (info < 0) return illegal("dpotf2/dpotrf", "sba_Axb_Chol", info);
    info = LAPACKE_dpotrs_work(kLayout, 'U', m, 1, a, m, x, m);
    if (info < 0) return illegal("dpotrs", "sba_Axb_Chol", info);
    return 1;
  });
}

int sba_Axb_QR(double* A, double* B, double* x, int m, int iscolmaj, SbaDenseWorkspace* ws) {
  return withWorkspace(A, m, ws, "sba_Axb_QR", [&](SbaDenseWorkspace& w) {
    const std::size_t mm = static_cast<std::size_t>(m) * m;
    // Workspace: [copy of A][R (m×m)][tau (m)][LAPACK work]; the work size is asked first.
    double query = 0.0;
    lapack_int info = LAPACKE_dgeqrf_work(kLayout, m, m, nullptr, m, nullptr, &query, -1);
    if (info < 0) return illegal("dgeqrf", "sba_Axb_QR", info);
    std::size_t lwork = std::max<std::size_t>(static_cast<std::size_t>(query), std::max(m, 1));
    info = LAPACKE_dorgqr_work(kLayout, m, m, m, nullptr, m, nullptr, &query, -1);
    if (info < 0) return illegal("dorgqr", "sba_Axb_QR", info);
    lwork = std::max(lwork, static_cast<std::size_t>(query));
    const std::size_t extra = mm + m + lwork;
    double* a = factorStorage(A, m, iscolmaj, w, extra, "sba_Axb_QR");
    if (a == nullptr) return -1;
    double* base = w.doubles.data() + (iscolmaj ? 0 : mm);
    double* r = base;
    double* tau = r + mm;
    double* work = tau + m;
    info = LAPACKE_dgeqrf_work(kLayout, m, m, a, m, tau, work, static_cast<lapack_int>(lwork));
    if (info < 0) return illegal("dgeqrf", "sba_Axb_QR", info);
    std::memcpy(r, a, mm * sizeof(double));  // R is the upper triangle; Q is formed over a
    info = LAPACKE_dorgqr_work(kLayout, m, m, m, a, m, tau, work, static_cast<lapack_int>(lwork));
    if (info < 0) return illegal("dorgqr", "sba_Axb_QR", info);
    // x = Qᵀ b (through a copy: x may be B)
    std::vector<double> qtb(m);
    transposedProduct(a, B, m, qtb.data());
    std::memcpy(x, qtb.data(), static_cast<std::size_t>(m) * sizeof(double));
    info = LAPACKE_dtrtrs_work(kLayout, 'U', 'N', 'N', m, 1, r, m, x, m);
    if (info < 0) return illegal("dtrtrs", "sba_Axb_QR", info);
    if (info > 0) return singularTriangle("sba_Axb_QR", info);
    return 1;
  });
}

int sba_Axb_QRnoQ(double* A, double* B, double* x, int m, int iscolmaj, SbaDenseWorkspace* ws) {
  return withWorkspace(A, m, ws, "sba_Axb_QRnoQ", [&](SbaDenseWorkspace& w) {
    double query = 0.0;
    lapack_int info = LAPACKE_dgeqrf_work(kLayout, m, m, nullptr, m, nullptr, &query, -1);
    if (info < 0) return illegal("dgeqrf", "sba_Axb_QRnoQ", info);
    const std::size_t lwork = std::max<std::size_t>(static_cast<std::size_t>(query), std::max(m, 1));
    const std::size_t mm = static_cast<std::size_t>(m) * m;
    double* a = factorStorage(A, m, iscolmaj, w, m + lwork + m, "sba_Axb_QRnoQ");
    if (a == nullptr) return -1;
    double* base = w.doubles.data() + (iscolmaj ? 0 : mm);
    double* tau = base;
    double* work = tau + m;
    double* atb = work + lwork;
    // Aᵀb before the factorisation overwrites A.
    transposedProduct(a, B, m, atb);
    info = LAPACKE_dgeqrf_work(kLayout, m, m, a, m, tau, work, static_cast<lapack_int>(lwork));
    if (info < 0) return illegal("dgeqrf", "sba_Axb_QRnoQ", info);
    std::memcpy(x, atb, static_cast<std::size_t>(m) * sizeof(double));
    info = LAPACKE_dtrtrs_work(kLayout, 'U', 'T', 'N', m, 1, a, m, x, m);
    if (info < 0) return illegal("dtrtrs", "sba_Axb_QRnoQ", info);
    if (info == 0) info = LAPACKE_dtrtrs_work(kLayout, 'U', 'N', 'N', m, 1, a, m, x, m);
    if (info < 0) return illegal("dtrtrs", "sba_Axb_QRnoQ", info);
    if (info > 0) return singularTriangle("sba_Axb_QRnoQ", info);
    return 1;
  });
}

int sba_Axb_LU(double* A, double* B, double* x, int m, int iscolmaj, SbaDenseWorkspace* ws) {
  return withWorkspace(A, m, ws, "sba_Axb_LU", [&](SbaDenseWorkspace& w) {
    double* a = factorStorage(A, m, iscolmaj, w, 0, "sba_Axb_LU");
    if (a == nullptr || !reserveInts(w, m, "sba_Axb_LU")) return -1;
    copyRightHandSide(B, x, m);
    lapack_int info = LAPACKE_dgetrf_work(kLayout, m, m, a, m, w.ints.data());
    if (info < 0) return illegal("dgetrf", "sba_Axb_LU", info);
    if (info > 0) {
      std::fprintf(stderr, "singular matrix A for dgetrf in sba_Axb_LU()\n");
      return 0;
    }
    info = LAPACKE_dgetrs_work(kLayout, 'N', m, 1, a, m, w.ints.data(), x, m);
    if (info < 0) return illegal("dgetrs", "sba_Axb_LU", info);
    return 1;
  });
}

int sba_Axb_SVD(double* A, double* B, double* x, int m, int iscolmaj, SbaDenseWorkspace* ws) {
  return withWorkspace(A, m, ws, "sba_Axb_SVD", [&](SbaDenseWorkspace& w) {
    const std::size_t mm = static_cast<std::size_t>(m) * m;
    double query = 0.0;
    lapack_int info = LAPACKE_dgesdd_work(kLayout, 'A', m, m, nullptr, m, nullptr, nullptr, m, nullptr, m, &query, -1,
                                          nullptr);
    if (info < 0) return illegal("dgesdd", "sba_Axb_SVD", info);
    const std::size_t lwork = std::max<std::size_t>(static_cast<std::size_t>(query), 1);
    // Workspace: [copy of A][U][Vᵀ][singular values][work]
    double* a = factorStorage(A, m, iscolmaj, w, 2 * mm + m + lwork, "sba_Axb_SVD");
    if (a == nullptr || !reserveInts(w, 8 * static_cast<std::size_t>(m), "sba_Axb_SVD")) return -1;
    double* base = w.doubles.data() + (iscolmaj ? 0 : mm);
    double* u = base;
    double* vt = u + mm;
    double* s = vt + mm;
    double* work = s + m;
    info = LAPACKE_dgesdd_work(kLayout, 'A', m, m, a, m, s, u, m, vt, m, work, static_cast<lapack_int>(lwork),
                               w.ints.data());
    if (info < 0) return illegal("dgesdd", "sba_Axb_SVD", info);
    if (info > 0) {
      std::fprintf(stderr, "LAPACK error: dgesdd (dbdsdc) failed to converge in sba_Axb_SVD() [info=%d]\n",
                   static_cast<int>(info));
      return 0;
    }
    // The machine epsilon that halving 1.0 until 1 + ε = 1 finds, doubled back.
    const double epsilon = std::numeric_limits<double>::epsilon();
    const double threshold = (m > 0 ? s[0] : 0.0) * epsilon;
    std::vector<double> result(m, 0.0);
    for (int k = 0; k < m && s[k] > threshold; ++k) {
      double utb = 0.0;
      for (int r = 0; r < m; ++r) utb += u[r + static_cast<std::size_t>(k) * m] * B[r];
      const double coefficient = utb / s[k];
      for (int r = 0; r < m; ++r) result[r] += coefficient * vt[k + static_cast<std::size_t>(r) * m];
    }
    std::memcpy(x, result.data(), static_cast<std::size_t>(m) * sizeof(double));
    return 1;
  });
}

int sba_Axb_BK(double* A, double* B, double* x, int m, int iscolmaj, SbaDenseWorkspace* ws) {
  return withWorkspace(A, m, ws, "sba_Axb_BK", [&](SbaDenseWorkspace& w) {
    double query = 0.0;
    lapack_int info = LAPACKE_dsytrf_work(kLayout, 'U', m, nullptr, m, nullptr, &query, -1);
    if (info < 0) return illegal("dsytrf", "sba_Axb_BK", info);
    const std::size_t lwork = std::max<std::size_t>(static_cast<std::size_t>(query), 1);
    const std::size_t mm = static_cast<std::size_t>(m) * m;
    double* a = factorStorage(A, m, iscolmaj, w, lwork, "sba_Axb_BK");
    if (a == nullptr || !reserveInts(w, m, "sba_Axb_BK")) return -1;
    double* work = w.doubles.data() + (iscolmaj ? 0 : mm);
    copyRightHandSide(B, x, m);
    info = LAPACKE_dsytrf_work(kLayout, 'U', m, a, m, w.ints.data(), work, static_cast<lapack_int>(lwork));
    if (info < 0) return illegal("dsytrf", "sba_Axb_BK", info);
    if (info > 0) {
      std::fprintf(stderr, "LAPACK error: singular block diagonal matrix D for dsytrf in sba_Axb_BK() [D(%d, %d) is zero]\n",
                   static_cast<int>(info), static_cast<int>(info));
      return 0;
    }
    info = LAPACKE_dsytrs_work(kLayout, 'U', m, 1, a, m, w.ints.data(), x, m);
    if (info < 0) return illegal("dsytrs", "sba_Axb_BK", info);
    return 1;
  });
}

void sba_axpy(double* dst, double a, const double* x, const double* y, int n) {
  for (int k = 0; k < n; ++k) dst[k] = a * x[k] + y[k];
}

int sba_Axb_CG(double* A, double* B, double* x, int m, int niter, double eps, int prec, int iscolmaj,
               SbaDenseWorkspace* ws) {
  return withWorkspace(A, m, ws, "sba_Axb_CG", [&](SbaDenseWorkspace& w) {
    if (prec < 0 || prec > 2) {
      std::fprintf(stderr, "unknown preconditioning option %d in sba_Axb_CG\n", prec);
      return -1;
    }
    const std::size_t mm = static_cast<std::size_t>(m) * m;
    // Workspace: [column-major A][r][z][d][q]
    double* a = factorStorage(A, m, iscolmaj, w, 4 * static_cast<std::size_t>(m), "sba_Axb_CG");
    if (a == nullptr) return -1;
    double* r = w.doubles.data() + (iscolmaj ? 0 : mm);
    double* z = r + m;
    double* d = z + m;
    double* q = d + m;
    auto at = [&](int row, int col) { return a[row + static_cast<std::size_t>(col) * m]; };
    auto multiply = [&](const double* v, double* out) {
      for (int row = 0; row < m; ++row) out[row] = 0.0;
      for (int col = 0; col < m; ++col) {
        const double vc = v[col];
        const double* column = a + static_cast<std::size_t>(col) * m;
        for (int row = 0; row < m; ++row) out[row] += column[row] * vc;
      }
    };
    // z = M⁻¹ r for the chosen preconditioner.
    auto precondition = [&](const double* in, double* out) {
      if (prec == 0) {
        std::memcpy(out, in, static_cast<std::size_t>(m) * sizeof(double));
      } else if (prec == 1) {
        for (int k = 0; k < m; ++k) out[k] = at(k, k) != 0.0 ? in[k] / at(k, k) : in[k];
      } else {
        // Symmetric Gauss-Seidel: (D + L) D⁻¹ (D + Lᵀ) z = r, forward then backward sweep.
        for (int k = 0; k < m; ++k) {
          double sum = in[k];
          for (int c = 0; c < k; ++c) sum -= at(k, c) * out[c];
          out[k] = sum / at(k, k);
        }
        for (int k = 0; k < m; ++k) out[k] *= at(k, k);
        for (int k = m - 1; k >= 0; --k) {
          double sum = out[k];
          for (int c = k + 1; c < m; ++c) sum -= at(k, c) * out[c];
          out[k] = sum / at(k, k);
        }
      }
    };
    if (prec != 0) {
      for (int k = 0; k < m; ++k) {
        if (!(at(k, k) > 0.0)) {
          std::fprintf(stderr, "sba_Axb_CG: non-positive diagonal element %d, matrix is not positive definite\n", k);
          return 0;
        }
      }
    }
    const int iterations = niter > 0 ? niter : m;
    double bnorm = 0.0;
    for (int k = 0; k < m; ++k) bnorm += B[k] * B[k];
    bnorm = std::sqrt(bnorm);
    // x starts at zero: r = b.
    std::vector<double> solution(m, 0.0);
    std::memcpy(r, B, static_cast<std::size_t>(m) * sizeof(double));
    precondition(r, z);
    std::memcpy(d, z, static_cast<std::size_t>(m) * sizeof(double));
    double rz = 0.0;
    for (int k = 0; k < m; ++k) rz += r[k] * z[k];
    for (int it = 0; it < iterations; ++it) {
      double rnorm = 0.0;
      for (int k = 0; k < m; ++k) rnorm += r[k] * r[k];
      if (std::sqrt(rnorm) <= eps * bnorm) break;
      multiply(d, q);
      double dq = 0.0;
      for (int k = 0; k < m; ++k) dq += d[k] * q[k];
      if (!(dq > 0.0)) {
        std::fprintf(stderr, "sba_Axb_CG: matrix is not positive definite\n");
        return 0;
      }
      const double alpha = rz / dq;
      sba_axpy(solution.data(), alpha, d, solution.data(), m);
      sba_axpy(r, -alpha, q, r, m);
      precondition(r, z);
      double rzNew = 0.0;
      for (int k = 0; k < m; ++k) rzNew += r[k] * z[k];
      const double beta = rz != 0.0 ? rzNew / rz : 0.0;
      rz = rzNew;
      sba_axpy(d, beta, d, z, m);
    }
    std::memcpy(x, solution.data(), static_cast<std::size_t>(m) * sizeof(double));
    return 1;
  });
}

int sba_symat_invert_LU(double* A, int m, SbaDenseWorkspace* ws) {
  return withWorkspace(A, m, ws, "sba_symat_invert_LU", [&](SbaDenseWorkspace& w) {
    // (Aᵀ)⁻¹ = (A⁻¹)ᵀ, so inverting the row-major storage as if it were column-major is exact.
    double query = 0.0;
    lapack_int info = LAPACKE_dgetri_work(kLayout, m, nullptr, m, nullptr, &query, -1);
    if (info < 0) return illegal("dgetri", "sba_symat_invert_LU", info);
    const std::size_t lwork = std::max<std::size_t>(static_cast<std::size_t>(query), std::max(m, 1));
    if (!reserveDoubles(w, lwork, "sba_symat_invert_LU") || !reserveInts(w, m, "sba_symat_invert_LU")) return -1;
    info = LAPACKE_dgetrf_work(kLayout, m, m, A, m, w.ints.data());
    if (info < 0) return illegal("dgetrf", "sba_symat_invert_LU", info);
    if (info > 0) {
      std::fprintf(stderr, "singular matrix A for dgetrf in sba_symat_invert_LU()\n");
      return 0;
    }
    info = LAPACKE_dgetri_work(kLayout, m, A, m, w.ints.data(), w.doubles.data(), static_cast<lapack_int>(lwork));
    if (info < 0) return illegal("dgetri", "sba_symat_invert_LU", info);
    if (info > 0) {
      std::fprintf(stderr, "singular matrix A for dgetri in sba_symat_invert_LU()\n");
      return 0;
    }
    return 1;
  });
}

int sba_symat_invert_Chol(double* A, int m, SbaDenseWorkspace* ws) {
  return withWorkspace(A, m, ws, "sba_symat_invert_Chol", [&](SbaDenseWorkspace&) {
    lapack_int info = LAPACKE_dpotrf_work(kLayout, 'U', m, A, m);
    if (info < 0) return illegal("dpotrf", "sba_symat_invert_Chol", info);
    if (info > 0) {
      std::fprintf(stderr,
                   "LAPACK error: the leading minor of order %d is not positive definite,\nthe factorization could "
                   "not be completed for dpotrf in sba_symat_invert_Chol()\n",
                   static_cast<int>(info));
      return 0;
    }
    info = LAPACKE_dpotri_work(kLayout, 'U', m, A, m);
    if (info < 0) return illegal("dpotri", "sba_symat_invert_Chol", info);
    if (info > 0) {
      std::fprintf(stderr, "the (%d, %d) element of the factor U or L is zero, singular matrix A for dpotri in "
                   "sba_symat_invert_Chol()\n", static_cast<int>(info), static_cast<int>(info));
      return 0;
    }
    // The inverse sits in the column-major upper triangle; mirror it into the other half.
    for (int c = 0; c < m; ++c) {
      for (int r = 0; r < c; ++r) A[c + static_cast<std::size_t>(r) * m] = A[r + static_cast<std::size_t>(c) * m];
    }
    return 1;
  });
}

int sba_symat_invert_BK(double* A, int m, SbaDenseWorkspace* ws) {
  return withWorkspace(A, m, ws, "sba_symat_invert_BK", [&](SbaDenseWorkspace& w) {
    if (w.bunchKaufmanBlockSize <= 0) {
      // The optimal work size of the first query fixes the block size for the workspace's life.
      double query = 0.0;
      const lapack_int info = LAPACKE_dsytrf_work(kLayout, 'L', m, nullptr, m, nullptr, &query, -1);
      if (info < 0) {
        std::fprintf(stderr, "argument %d of dsytrf illegal in sba_symat_invert_BK()\n", static_cast<int>(-info));
        return -1;
      }
      w.bunchKaufmanBlockSize = std::max(1, m > 0 ? static_cast<int>(query) / m : 1);
    }
    const std::size_t mm = static_cast<std::size_t>(m) * m;
    const std::size_t lwork = std::max<std::size_t>(static_cast<std::size_t>(w.bunchKaufmanBlockSize) * m, 1);
    if (!reserveDoubles(w, mm + lwork, "sba_symat_invert_BK") || !reserveInts(w, m, "sba_symat_invert_BK")) return -1;
    double* a = w.doubles.data();
    double* work = a + mm;
    // "L" on the row-major storage read as column-major is the row-major upper triangle.
    std::memcpy(a, A, mm * sizeof(double));
    lapack_int info = LAPACKE_dsytrf_work(kLayout, 'L', m, a, m, w.ints.data(), work, static_cast<lapack_int>(lwork));
    if (info < 0) {
      std::fprintf(stderr, "argument %d of dsytrf illegal in sba_symat_invert_BK()\n", static_cast<int>(-info));
      return -1;
    }
    if (info > 0) {
      std::fprintf(stderr, "singular block diagonal matrix D for dsytrf in sba_symat_invert_BK() [D(%d, %d) is zero]\n",
                   static_cast<int>(info), static_cast<int>(info));
      return 0;
    }
    info = LAPACKE_dsytri_work(kLayout, 'L', m, a, m, w.ints.data(), work);
    if (info < 0) {
      std::fprintf(stderr, "argument %d of dsytri illegal in sba_symat_invert_BK()\n", static_cast<int>(-info));
      return -1;
    }
    if (info > 0) {
      std::fprintf(stderr, "D(%d, %d)=0, matrix is singular and its inverse could not be computed in "
                   "sba_symat_invert_BK()\n", static_cast<int>(info), static_cast<int>(info));
      return 0;
    }
    for (int r = 0; r < m; ++r) {
      for (int c = 0; c <= r; ++c) A[static_cast<std::size_t>(r) * m + c] = a[r + static_cast<std::size_t>(c) * m];
    }
    return 1;
  });
}

int sba_mat_cholinv(const double* A, double* B, int m) {
  if (A == nullptr) return 1;
  if (negativeOrder(m, "sba_mat_cholinv")) return -1;
  const std::size_t mm = static_cast<std::size_t>(m) * m;
  std::memcpy(B, A, mm * sizeof(double));
  // Column-major "L" on the row-major copy: A⁻¹ = L·Lᵀ with L lower (column-major), i.e. the
  // row-major upper-triangular W = Lᵀ satisfies WᵀW = A⁻¹.
  lapack_int info = LAPACKE_dpotrf_work(kLayout, 'L', m, B, m);
  if (info < 0) {
    std::fprintf(stderr, "argument %d of dpotf2 illegal in sba_mat_cholinv()\n", static_cast<int>(-info));
    return -1;
  }
  if (info > 0) {
    std::fprintf(stderr, "LAPACK error: the leading minor of order %d is not positive definite,\n%s\n",
                 static_cast<int>(info), "and the Cholesky factorization could not be completed in sba_mat_cholinv()");
    return 0;
  }
  info = LAPACKE_dpotri_work(kLayout, 'L', m, B, m);
  if (info < 0) {
    std::fprintf(stderr, "argument %d of dpotri illegal in sba_mat_cholinv()\n", static_cast<int>(-info));
    return -1;
  }
  if (info > 0) {
    std::fprintf(stderr, "the (%d, %d) element of the factor U or L is zero, singular matrix A for dpotri in "
                 "sba_mat_cholinv()\n", static_cast<int>(info), static_cast<int>(info));
    return 0;
  }
  info = LAPACKE_dpotrf_work(kLayout, 'L', m, B, m);
  if (info < 0) {
    std::fprintf(stderr, "LAPACK error: illegal value for argument %d of dpotf2 in sba_mat_cholinv()\n",
                 static_cast<int>(-info));
    return -1;
  }
  if (info > 0) {
    std::fprintf(stderr, "LAPACK error: the leading minor of order %d is not positive definite,\n%s\n",
                 static_cast<int>(info), "and the Cholesky factorization could not be completed in sba_mat_cholinv()");
    return 0;
  }
  // Clear the column-major strict upper triangle: the row-major strict lower one.
  for (int r = 0; r < m; ++r) {
    for (int c = 0; c < r; ++c) B[static_cast<std::size_t>(r) * m + c] = 0.0;
  }
  return 1;
}
