// Forward-difference Jacobians for the expert interface and the checks of a Jacobian routine.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <new>
#include <vector>

#include "calibration/sba/SbaSolver.h"

namespace {

double differenceStep(double v) { return std::max(1e-6, std::fabs(1e-4 * v)); }

// Fills one column (parameter d of every camera, or of every point) of all Jacobian blocks by
// moving that parameter of every block at once: projection ij depends on camera j and point i only,
// so the moves do not mix.
void differenceColumn(double* p, sba_crsm* idxij, int* rcidxs, int* rcsubs, double* jac, const double* hx,
                      double* hxx, std::vector<double>& saved, std::vector<double>& delta, std::size_t offset,
                      int blocks, int blockSize, int d, std::size_t columnOffset, int width, std::size_t stride,
                      int mnp, bool byCamera, sba_proj_func func, void* adata) {
  for (int b = 0; b < blocks; ++b) {
    double& value = p[offset + static_cast<std::size_t>(b) * blockSize + d];
    saved[b] = value;
    delta[b] = differenceStep(value);
    value += delta[b];
  }
  func(p, idxij, rcidxs, rcsubs, hxx, adata);
  for (int b = 0; b < blocks; ++b) p[offset + static_cast<std::size_t>(b) * blockSize + d] = saved[b];
  for (int i = 0; i < idxij->nr; ++i) {
    for (int k = idxij->rowptr[i]; k < idxij->rowptr[i + 1]; ++k) {
      const std::size_t v = static_cast<std::size_t>(idxij->val[k]);
      const double step = delta[byCamera ? idxij->colidx[k] : i];
      double* block = jac + v * stride + columnOffset;
      for (int l = 0; l < mnp; ++l) block[l * width + d] = (hxx[v * mnp + l] - hx[v * mnp + l]) / step;
    }
  }
}

// The gradient test of MINPACK's chkder over all parameters at once.
int checkJacobian(sba_proj_func func, sba_jac_func fjac, double* p, sba_crsm* idxij, int cnp, int pnp, int mnp,
                  void* adata) {
  const double machineEpsilon = DBL_EPSILON;
  const double eps = std::sqrt(machineEpsilon);  // 1.4901161193847656e-8
  const double epsf = 100.0 * machineEpsilon;
  const double epslog = std::log10(eps);  // -7.826779887263511
  const int n = idxij->nr, m = idxij->nc, nvis = idxij->nnz;
  const std::size_t nparams = static_cast<std::size_t>(m) * cnp + static_cast<std::size_t>(n) * pnp;
  const std::size_t asz = static_cast<std::size_t>(mnp) * cnp;
  const std::size_t stride = asz + static_cast<std::size_t>(mnp) * pnp;
  const std::size_t count = static_cast<std::size_t>(nvis) * mnp;
  try {
    const int widest = std::max({1, n, m});
    std::vector<int> rcidxs(widest), rcsubs(widest);
    std::vector<double> jac(static_cast<std::size_t>(nvis) * stride), hx(count), hxp(count), xp(nparams);

    if (fjac != nullptr) {
      fjac(p, idxij, rcidxs.data(), rcsubs.data(), jac.data(), adata);
    } else if (sba_fdjac_x(p, idxij, rcidxs.data(), rcsubs.data(), jac.data(), cnp, pnp, mnp, func, adata) < 0) {
      return -1;
    }
    func(p, idxij, rcidxs.data(), rcsubs.data(), hx.data(), adata);
    for (std::size_t k = 0; k < nparams; ++k) {
      const double step = eps * std::fabs(p[k]);
      xp[k] = p[k] + (step == 0.0 ? eps : step);
    }
    func(xp.data(), idxij, rcidxs.data(), rcsubs.data(), hxp.data(), adata);

    int suspicious = 0;
    const double* pb = p + static_cast<std::size_t>(m) * cnp;
    for (int i = 0; i < n; ++i) {
      for (int k = idxij->rowptr[i]; k < idxij->rowptr[i + 1]; ++k) {
        const int j = idxij->colidx[k];
        const std::size_t v = static_cast<std::size_t>(idxij->val[k]);
        const double* A = jac.data() + v * stride;
        const double* B = A + asz;
        for (int l = 0; l < mnp; ++l) {
          // The change the Jacobian predicts for steps of |p| (or 1 for zero parameters).
          double predicted = 0.0;
          for (int d = 0; d < cnp; ++d) {
            const double t = std::fabs(p[static_cast<std::size_t>(j) * cnp + d]);
            predicted += (t == 0.0 ? 1.0 : t) * A[l * cnp + d];
          }
          for (int d = 0; d < pnp; ++d) {
            const double t = std::fabs(pb[static_cast<std::size_t>(i) * pnp + d]);
            predicted += (t == 0.0 ? 1.0 : t) * B[l * pnp + d];
          }
          const double f = hx[v * mnp + l];
          const double fp = hxp[v * mnp + l];
          double temp = 1.0;
          if (f != 0.0 && fp != 0.0 && std::fabs(fp - f) >= epsf * std::fabs(f)) {
            temp = eps * std::fabs((fp - f) / eps - predicted) / (std::fabs(f) + std::fabs(fp));
          }
          double measure = 1.0;
          if (temp > machineEpsilon && temp < eps) measure = (std::log10(temp) - epslog) / epslog;
          if (temp >= eps) measure = 0.0;
          if (measure <= 0.5) {
            std::fprintf(stderr,
                         "SBA: gradient %d (corresponding to element %d of the projection of point %d on camera %d) "
                         "is %s (err=%g)\n",
                         static_cast<int>(v * mnp + l), l, i, j, measure == 0.0 ? "wrong" : "probably wrong",
                         measure);
            ++suspicious;
          }
        }
      }
    }
    std::fprintf(stderr, "SBA: found %d suspicious gradients out of %d\n\n", suspicious, static_cast<int>(count));
    return suspicious;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "SBA: memory allocation request failed in the Jacobian check\n");
    return -1;
  }
}

}  // namespace

int sba_fdjac_x(double* p, sba_crsm* idxij, int* rcidxs, int* rcsubs, double* jac, int cnp, int pnp, int mnp,
                sba_proj_func func, void* adata) {
  const int n = idxij->nr, m = idxij->nc;
  const std::size_t count = static_cast<std::size_t>(idxij->nnz) * mnp;
  const std::size_t asz = static_cast<std::size_t>(mnp) * cnp;
  const std::size_t stride = asz + static_cast<std::size_t>(mnp) * pnp;
  try {
    std::vector<double> hx(count), hxx(count);
    std::vector<double> saved(std::max(n, m)), delta(std::max(n, m));
    func(p, idxij, rcidxs, rcsubs, hx.data(), adata);
    int evaluations = 1;
    for (int d = 0; d < cnp; ++d, ++evaluations) {
      differenceColumn(p, idxij, rcidxs, rcsubs, jac, hx.data(), hxx.data(), saved, delta, 0, m, cnp, d, 0, cnp,
                       stride, mnp, true, func, adata);
    }
    for (int d = 0; d < pnp; ++d, ++evaluations) {
      differenceColumn(p, idxij, rcidxs, rcsubs, jac, hx.data(), hxx.data(), saved, delta,
                       static_cast<std::size_t>(m) * cnp, n, pnp, d, asz, pnp, stride, mnp, false, func, adata);
    }
    return evaluations;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "SBA: memory allocation request failed in sba_fdjac_x()\n");
    return -1;
  }
}

int sba_motstr_chkjac(sba_proj_func func, sba_jac_func fjac, double* p, sba_crsm* idxij, int cnp, int pnp, int mnp,
                      void* adata) {
  return checkJacobian(func, fjac, p, idxij, cnp, pnp, mnp, adata);
}

int sba_mot_chkjac(sba_proj_func func, sba_jac_func fjac, double* p, sba_crsm* idxij, int cnp, int mnp,
                   void* adata) {
  return checkJacobian(func, fjac, p, idxij, cnp, 0, mnp, adata);
}

int sba_str_chkjac(sba_proj_func func, sba_jac_func fjac, double* p, sba_crsm* idxij, int pnp, int mnp,
                   void* adata) {
  return checkJacobian(func, fjac, p, idxij, 0, pnp, mnp, adata);
}
