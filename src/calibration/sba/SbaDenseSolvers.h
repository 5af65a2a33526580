// Dense linear solvers on LAPACK that the bundle adjustment builds its steps from.
#pragma once

#include <vector>

// The work memory of the dense solvers. Each driver call owns one and hands it to every solve, so
// iterations do not allocate and concurrent solves never share memory. A solver given no workspace
// uses one of its own for that call.
struct SbaDenseWorkspace {
  std::vector<double> doubles;
  std::vector<int> ints;
  int bunchKaufmanBlockSize = 0;  // found by the first inversion's work size query, then kept

  void release() {
    std::vector<double>().swap(doubles);
    std::vector<int>().swap(ints);
  }
};

// Results of every solver: 1 success; 0 the matrix is singular or not positive definite (a message
// went to the standard error stream); -1 LAPACK reported an illegal argument or memory could not be
// had (the process is never ended from here).
//
// `iscolmaj` = 1: A is column-major and may be overwritten; 0: A is row-major and left untouched.
// A null A releases the workspace's memory and returns 1.

// Ax = b for a symmetric positive definite A, by Cholesky factorisation.
int sba_Axb_Chol(double* A, double* B, double* x, int m, int iscolmaj, SbaDenseWorkspace* ws = nullptr);
// Ax = b for a square A, by QR with Q formed: x = R⁻¹·Qᵀ·b.
int sba_Axb_QR(double* A, double* B, double* x, int m, int iscolmaj, SbaDenseWorkspace* ws = nullptr);
// Ax = b for a square A, by QR without forming Q: RᵀR·x = Aᵀb.
int sba_Axb_QRnoQ(double* A, double* B, double* x, int m, int iscolmaj, SbaDenseWorkspace* ws = nullptr);
// Ax = b by LU factorisation with partial pivoting.
int sba_Axb_LU(double* A, double* B, double* x, int m, int iscolmaj, SbaDenseWorkspace* ws = nullptr);
// Ax = b through the pseudo-inverse over the singular values above machine epsilon × the largest.
int sba_Axb_SVD(double* A, double* B, double* x, int m, int iscolmaj, SbaDenseWorkspace* ws = nullptr);
// Ax = b for a symmetric A, by Bunch-Kaufman factorisation.
int sba_Axb_BK(double* A, double* B, double* x, int m, int iscolmaj, SbaDenseWorkspace* ws = nullptr);
// Ax = b for a symmetric positive definite A by conjugate gradients, at most `niter` iterations
// (m when not positive) until the residual norm is at most `eps` × |b|. `prec`: 0 none, 1 Jacobi
// (diagonal), 2 symmetric Gauss-Seidel; any other value is an illegal argument (-1).
int sba_Axb_CG(double* A, double* B, double* x, int m, int niter, double eps, int prec, int iscolmaj,
               SbaDenseWorkspace* ws = nullptr);

// In-place inverses of a row-major m×m matrix.
int sba_symat_invert_LU(double* A, int m, SbaDenseWorkspace* ws = nullptr);
int sba_symat_invert_Chol(double* A, int m, SbaDenseWorkspace* ws = nullptr);
// Inverse of a symmetric matrix read from its row-major upper triangle; the inverse is written
// into the row-major lower triangle and the diagonal (the strict upper triangle is left as it was).
int sba_symat_invert_BK(double* A, int m, SbaDenseWorkspace* ws = nullptr);

// The weight of a measurement from its covariance block A (row-major, symmetric positive definite):
// B becomes the row-major upper-triangular factor with BᵀB = A⁻¹. A null A returns 1.
int sba_mat_cholinv(const double* A, double* B, int m);

// dst = a·x + y, element by element (dst may be x or y).
void sba_axpy(double* dst, double a, const double* x, const double* y, int n);
