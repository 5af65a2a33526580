// Sparse bundle adjustment by Levenberg-Marquardt: the drivers, their simple interfaces and the
// Jacobian checks.
//
// Vocabulary: n points (i), m cameras (j); each camera has cnp parameters (block a_j), each point
// pnp (block b_i), each projection x_ij mnp values. The first `mcon` cameras and the first `ncon`
// points are held constant. Parameters: all camera blocks, then all point blocks. Measurements: the
// visible projections point by point and, within a point, camera by camera. Visibility mask: n·m
// bytes, entry i·m + j non-zero where camera j sees point i.
//
// Each call owns all of its memory, so calls on different threads do not interfere; nothing here
// locks.
#pragma once

#include "calibration/sba/SbaCrsm.h"

namespace qv::sba {

inline constexpr int kOptionsSize = 5;  // τ, ε1 (gradient), ε2 (relative step), ε3 (error), ε4 (relative reduction)
inline constexpr int kInfoSize = 10;
inline constexpr double kInitialDampingScale = 1e-3;
inline constexpr double kStopThreshold = 1e-12;

// Entries of the information vector.
enum Info : int {
  InitialErrorSquared = 0,   // ‖e‖² at the initial p
  FinalErrorSquared = 1,     // ‖e‖² at the final p
  GradientInfinityNorm = 2,  // ‖Jᵀe‖∞
  LastStepSquared = 3,       // ‖Δp‖² of the last step computed
  RelativeDamping = 4,       // final damping / largest diagonal entry of the free blocks
  Iterations = 5,
  StopReason = 6,
  ProjectionEvaluations = 7,
  JacobianEvaluations = 8,
  LinearSystemsSolved = 9,
};

// Why a run stopped (information entry 6).
enum Reason : int {
  SmallGradient = 1,    // ‖Jᵀe‖∞ ≤ ε1
  SmallStep = 2,        // ‖Δp‖² ≤ ε2²·‖p‖²
  IterationLimit = 3,
  SmallReduction = 4,   // (‖e‖ − ‖e_new‖)² < ε4²·‖e‖²
  SmallError = 5,       // ‖e‖² ≤ ε3²
  DampingOverflow = 6,  // the damping could not be raised further
  InvalidValues = 7,    // a projection or the error is not a finite number (result -1)
  SolverFailure = 8,    // almost singular augmented system, or memory or LAPACK failed (result -1)
};

}  // namespace qv::sba

// Expert-interface routines: the whole prediction or the whole Jacobian at once.
// `rcidxs` and `rcsubs` are work arrays as long as the larger of the most cameras seeing one point
// and the most points seen by one camera. The Jacobian is stored per visible projection in the
// order of `val`: A_ij (mnp×cnp, row-major) followed by B_ij (mnp×pnp); the motion-only drivers
// store only A_ij, the structure-only ones only B_ij.
using sba_proj_func = void (*)(double* p, sba_crsm* idxij, int* rcidxs, int* rcsubs, double* hx, void* adata);
using sba_jac_func = void (*)(double* p, sba_crsm* idxij, int* rcidxs, int* rcsubs, double* jac, void* adata);

// Simple-interface routines: one projection (and its derivative blocks) at a time.
using sba_motstr_proj_func = void (*)(int j, int i, double* aj, double* bi, double* xij, void* adata);
using sba_motstr_jac_func = void (*)(int j, int i, double* aj, double* bi, double* Aij, double* Bij, void* adata);
using sba_mot_proj_func = void (*)(int j, int i, double* aj, double* xij, void* adata);
using sba_mot_jac_func = void (*)(int j, int i, double* aj, double* Aij, void* adata);
using sba_str_proj_func = void (*)(int j, int i, double* bi, double* xij, void* adata);
using sba_str_jac_func = void (*)(int j, int i, double* bi, double* Bij, void* adata);

// Expert drivers. Result: iterations done, 0 after a Jacobian check (itmax 0), or -1 on failure
// (too few measurements, invalid covariance, almost singular system, non-finite values, memory or
// LAPACK failure). p holds the last accepted values on every return. `opts` may be null (defaults:
// τ 1e-3, ε1 = ε2 = ε3 1e-12, ε4 0); `covx` (one mnp×mnp block per visible projection) and `info`
// may be null; `fjac` null selects forward differences.
int sba_motstr_levmar_x(int n, int ncon, int m, int mcon, const char* vmask, double* p, int cnp, int pnp,
                        const double* x, const double* covx, int mnp, sba_proj_func func, sba_jac_func fjac,
                        void* adata, int itmax, int verbose, const double* opts, double* info);
int sba_mot_levmar_x(int n, int m, int mcon, const char* vmask, double* p, int cnp, const double* x,
                     const double* covx, int mnp, sba_proj_func func, sba_jac_func fjac, void* adata, int itmax,
                     int verbose, const double* opts, double* info);
int sba_str_levmar_x(int n, int ncon, int m, const char* vmask, double* p, int pnp, const double* x,
                     const double* covx, int mnp, sba_proj_func func, sba_jac_func fjac, void* adata, int itmax,
                     int verbose, const double* opts, double* info);

// Simple interfaces: the same drivers over per-projection routines. Information entries 7 and 8
// count per-projection evaluations (multiples of the number of visible projections).
int sba_motstr_levmar(int n, int ncon, int m, int mcon, const char* vmask, double* p, int cnp, int pnp,
                      const double* x, const double* covx, int mnp, sba_motstr_proj_func proj,
                      sba_motstr_jac_func projac, void* adata, int itmax, int verbose, const double* opts,
                      double* info);
int sba_mot_levmar(int n, int m, int mcon, const char* vmask, double* p, int cnp, const double* x,
                   const double* covx, int mnp, sba_mot_proj_func proj, sba_mot_jac_func projac, void* adata,
                   int itmax, int verbose, const double* opts, double* info);
int sba_str_levmar(int n, int ncon, int m, const char* vmask, double* p, int pnp, const double* x,
                   const double* covx, int mnp, sba_str_proj_func proj, sba_str_jac_func projac, void* adata,
                   int itmax, int verbose, const double* opts, double* info);

// Jacobian checks: compare `fjac` with the change of `func` along a small step of every parameter
// (the gradient test of MINPACK's chkder) and report suspicious gradients on the standard error
// stream. Return the number of suspicious gradients, or -1 when memory is short.
// A null `fjac` checks the forward-difference Jacobian.
int sba_motstr_chkjac(sba_proj_func func, sba_jac_func fjac, double* p, sba_crsm* idxij, int cnp, int pnp, int mnp,
                      void* adata);
int sba_mot_chkjac(sba_proj_func func, sba_jac_func fjac, double* p, sba_crsm* idxij, int cnp, int mnp,
                   void* adata);
int sba_str_chkjac(sba_proj_func func, sba_jac_func fjac, double* p, sba_crsm* idxij, int pnp, int mnp,
                   void* adata);

// Forward-difference Jacobian for the expert interface: δ = max(1e-6, |1e-4 × parameter|).
// `cnp` or `pnp` is 0 for the motion-only or structure-only layout. Returns the number of
// projection evaluations it made, or -1 when memory is short.
int sba_fdjac_x(double* p, sba_crsm* idxij, int* rcidxs, int* rcsubs, double* jac, int cnp, int pnp, int mnp,
                sba_proj_func func, void* adata);

// Mean Euclidean distance between measured and predicted projections (mnp values each).
double sba_mean_repr_error(int n, int mnp, const double* x, const double* hx, const sba_crsm* idxij);
