// The simple interfaces of the drivers: per-projection routines adapted to the expert interface,
// with their forward-difference Jacobians.
#include <algorithm>
#include <cmath>
#include <vector>

#include "calibration/sba/SbaSolver.h"

namespace {

// The step of a forward difference for a parameter of value v.
double differenceStep(double v) { return std::max(1e-6, std::fabs(1e-4 * v)); }

long long visibleCount(const char* vmask, int n, int m) {
  if (vmask == nullptr || n <= 0 || m <= 0) return 0;
  long long count = 0;
  const std::size_t size = static_cast<std::size_t>(n) * m;
  for (std::size_t k = 0; k < size; ++k) count += vmask[k] != 0;
  return count;
}

void countPerProjection(double* info, long long nvis) {
  if (info == nullptr) return;
  info[qv::sba::ProjectionEvaluations] *= static_cast<double>(nvis);
  info[qv::sba::JacobianEvaluations] *= static_cast<double>(nvis);
}

// ---- motion and structure ----

struct MotStrRecord {
  sba_motstr_proj_func proj;
  sba_motstr_jac_func projac;
  int cnp, pnp, mnp;
  void* adata;
};

void sba_motstr_Qs(double* p, sba_crsm* idxij, int*, int*, double* hx, void* adata) {
  const auto* rec = static_cast<const MotStrRecord*>(adata);
  double* pb = p + static_cast<std::size_t>(idxij->nc) * rec->cnp;
  for (int i = 0; i < idxij->nr; ++i) {
    for (int k = idxij->rowptr[i]; k < idxij->rowptr[i + 1]; ++k) {
      const int j = idxij->colidx[k];
      rec->proj(j, i, p + static_cast<std::size_t>(j) * rec->cnp, pb + static_cast<std::size_t>(i) * rec->pnp,
                hx + static_cast<std::size_t>(idxij->val[k]) * rec->mnp, rec->adata);
    }
  }
}

void sba_motstr_Qs_jac(double* p, sba_crsm* idxij, int*, int*, double* jac, void* adata) {
  const auto* rec = static_cast<const MotStrRecord*>(adata);
  double* pb = p + static_cast<std::size_t>(idxij->nc) * rec->cnp;
  const std::size_t asz = static_cast<std::size_t>(rec->mnp) * rec->cnp;
  const std::size_t stride = asz + static_cast<std::size_t>(rec->mnp) * rec->pnp;
  for (int i = 0; i < idxij->nr; ++i) {
    for (int k = idxij->rowptr[i]; k < idxij->rowptr[i + 1]; ++k) {
      const int j = idxij->colidx[k];
      double* A = jac + static_cast<std::size_t>(idxij->val[k]) * stride;
      rec->projac(j, i, p + static_cast<std::size_t>(j) * rec->cnp, pb + static_cast<std::size_t>(i) * rec->pnp, A,
                  A + asz, rec->adata);
    }
  }
}

void sba_motstr_Qs_fdjac(double* p, sba_crsm* idxij, int* rcidxs, int* rcsubs, double* jac, void* adata) {
  const auto* rec = static_cast<const MotStrRecord*>(adata);
  const int cnp = rec->cnp, pnp = rec->pnp, mnp = rec->mnp;
  double* pb = p + static_cast<std::size_t>(idxij->nc) * cnp;
  const std::size_t asz = static_cast<std::size_t>(mnp) * cnp;
  const std::size_t stride = asz + static_cast<std::size_t>(mnp) * pnp;
  std::vector<double> first(mnp), second(mnp);

  for (int j = 0; j < idxij->nc; ++j) {
    double* aj = p + static_cast<std::size_t>(j) * cnp;
    const int count = sba_crsm_col_elmidxs(idxij, j, rcidxs, rcsubs);
    for (int c = 0; c < count; ++c) {
      const int i = rcsubs[c];
      double* bi = pb + static_cast<std::size_t>(i) * pnp;
      double* A = jac + static_cast<std::size_t>(rcidxs[c]) * stride;
      rec->proj(j, i, aj, bi, first.data(), rec->adata);
      for (int d = 0; d < cnp; ++d) {
        const double saved = aj[d];
        const double delta = differenceStep(saved);
        aj[d] = saved + delta;
        rec->proj(j, i, aj, bi, second.data(), rec->adata);
        aj[d] = saved;
        for (int l = 0; l < mnp; ++l) A[l * cnp + d] = (second[l] - first[l]) / delta;
      }
    }
  }
  for (int i = 0; i < idxij->nr; ++i) {
    double* bi = pb + static_cast<std::size_t>(i) * pnp;
    for (int k = idxij->rowptr[i]; k < idxij->rowptr[i + 1]; ++k) {
      const int j = idxij->colidx[k];
      double* aj = p + static_cast<std::size_t>(j) * cnp;
      double* B = jac + static_cast<std::size_t>(idxij->val[k]) * stride + asz;
      rec->proj(j, i, aj, bi, first.data(), rec->adata);
      for (int d = 0; d < pnp; ++d) {
        const double saved = bi[d];
        const double delta = differenceStep(saved);
        bi[d] = saved + delta;
        rec->proj(j, i, aj, bi, second.data(), rec->adata);
        bi[d] = saved;
        for (int l = 0; l < mnp; ++l) B[l * pnp + d] = (second[l] - first[l]) / delta;
      }
    }
  }
}

// ---- motion only ----

struct MotRecord {
  sba_mot_proj_func proj;
  sba_mot_jac_func projac;
  int cnp, mnp;
  void* adata;
};

void sba_mot_Qs(double* p, sba_crsm* idxij, int*, int*, double* hx, void* adata) {
  const auto* rec = static_cast<const MotRecord*>(adata);
  for (int i = 0; i < idxij->nr; ++i) {
    for (int k = idxij->rowptr[i]; k < idxij->rowptr[i + 1]; ++k) {
      const int j = idxij->colidx[k];
      rec->proj(j, i, p + static_cast<std::size_t>(j) * rec->cnp,
                hx + static_cast<std::size_t>(idxij->val[k]) * rec->mnp, rec->adata);
    }
  }
}

void sba_mot_Qs_jac(double* p, sba_crsm* idxij, int*, int*, double* jac, void* adata) {
  const auto* rec = static_cast<const MotRecord*>(adata);
  const std::size_t asz = static_cast<std::size_t>(rec->mnp) * rec->cnp;
  for (int i = 0; i < idxij->nr; ++i) {
    for (int k = idxij->rowptr[i]; k < idxij->rowptr[i + 1]; ++k) {
      const int j = idxij->colidx[k];
      rec->projac(j, i, p + static_cast<std::size_t>(j) * rec->cnp, jac + static_cast<std::size_t>(idxij->val[k]) * asz,
                  rec->adata);
    }
  }
}

void sba_mot_Qs_fdjac(double* p, sba_crsm* idxij, int* rcidxs, int* rcsubs, double* jac, void* adata) {
  const auto* rec = static_cast<const MotRecord*>(adata);
  const int cnp = rec->cnp, mnp = rec->mnp;
  const std::size_t asz = static_cast<std::size_t>(mnp) * cnp;
  std::vector<double> first(mnp), second(mnp);
  for (int j = 0; j < idxij->nc; ++j) {
    double* aj = p + static_cast<std::size_t>(j) * cnp;
    const int count = sba_crsm_col_elmidxs(idxij, j, rcidxs, rcsubs);
    for (int c = 0; c < count; ++c) {
      const int i = rcsubs[c];
      double* A = jac + static_cast<std::size_t>(rcidxs[c]) * asz;
      rec->proj(j, i, aj, first.data(), rec->adata);
      for (int d = 0; d < cnp; ++d) {
        const double saved = aj[d];
        const double delta = differenceStep(saved);
        aj[d] = saved + delta;
        rec->proj(j, i, aj, second.data(), rec->adata);
        aj[d] = saved;
        for (int l = 0; l < mnp; ++l) A[l * cnp + d] = (second[l] - first[l]) / delta;
      }
    }
  }
}

// ---- structure only ----

struct StrRecord {
  sba_str_proj_func proj;
  sba_str_jac_func projac;
  int pnp, mnp;
  void* adata;
};

void sba_str_Qs(double* p, sba_crsm* idxij, int*, int*, double* hx, void* adata) {
  const auto* rec = static_cast<const StrRecord*>(adata);
  for (int i = 0; i < idxij->nr; ++i) {
    double* bi = p + static_cast<std::size_t>(i) * rec->pnp;
    for (int k = idxij->rowptr[i]; k < idxij->rowptr[i + 1]; ++k) {
      rec->proj(idxij->colidx[k], i, bi, hx + static_cast<std::size_t>(idxij->val[k]) * rec->mnp, rec->adata);
    }
  }
}

void sba_str_Qs_jac(double* p, sba_crsm* idxij, int*, int*, double* jac, void* adata) {
  const auto* rec = static_cast<const StrRecord*>(adata);
  const std::size_t bsz = static_cast<std::size_t>(rec->mnp) * rec->pnp;
  for (int i = 0; i < idxij->nr; ++i) {
    double* bi = p + static_cast<std::size_t>(i) * rec->pnp;
    for (int k = idxij->rowptr[i]; k < idxij->rowptr[i + 1]; ++k) {
      rec->projac(idxij->colidx[k], i, bi, jac + static_cast<std::size_t>(idxij->val[k]) * bsz, rec->adata);
    }
  }
}

void sba_str_Qs_fdjac(double* p, sba_crsm* idxij, int*, int*, double* jac, void* adata) {
  const auto* rec = static_cast<const StrRecord*>(adata);
  const int pnp = rec->pnp, mnp = rec->mnp;
  const std::size_t bsz = static_cast<std::size_t>(mnp) * pnp;
  std::vector<double> first(mnp), second(mnp);
  for (int i = 0; i < idxij->nr; ++i) {
    double* bi = p + static_cast<std::size_t>(i) * pnp;
    for (int k = idxij->rowptr[i]; k < idxij->rowptr[i + 1]; ++k) {
      const int j = idxij->colidx[k];
      double* B = jac + static_cast<std::size_t>(idxij->val[k]) * bsz;
      rec->proj(j, i, bi, first.data(), rec->adata);
      for (int d = 0; d < pnp; ++d) {
        const double saved = bi[d];
        const double delta = differenceStep(saved);
        bi[d] = saved + delta;
        rec->proj(j, i, bi, second.data(), rec->adata);
        bi[d] = saved;
        for (int l = 0; l < mnp; ++l) B[l * pnp + d] = (second[l] - first[l]) / delta;
      }
    }
  }
}

}  // namespace

int sba_motstr_levmar(int n, int ncon, int m, int mcon, const char* vmask, double* p, int cnp, int pnp,
                      const double* x, const double* covx, int mnp, sba_motstr_proj_func proj,
                      sba_motstr_jac_func projac, void* adata, int itmax, int verbose, const double* opts,
                      double* info) {
  if (proj == nullptr) return sba_motstr_levmar_x(n, ncon, m, mcon, vmask, p, cnp, pnp, x, covx, mnp, nullptr,
                                                  nullptr, adata, itmax, verbose, opts, info);
  MotStrRecord rec{proj, projac, cnp, pnp, mnp, adata};
  const int result = sba_motstr_levmar_x(n, ncon, m, mcon, vmask, p, cnp, pnp, x, covx, mnp, sba_motstr_Qs,
                                         projac ? sba_motstr_Qs_jac : sba_motstr_Qs_fdjac, &rec, itmax, verbose,
                                         opts, info);
  countPerProjection(info, visibleCount(vmask, n, m));
  return result;
}

int sba_mot_levmar(int n, int m, int mcon, const char* vmask, double* p, int cnp, const double* x,
                   const double* covx, int mnp, sba_mot_proj_func proj, sba_mot_jac_func projac, void* adata,
                   int itmax, int verbose, const double* opts, double* info) {
  if (proj == nullptr) return sba_mot_levmar_x(n, m, mcon, vmask, p, cnp, x, covx, mnp, nullptr, nullptr, adata,
                                               itmax, verbose, opts, info);
  MotRecord rec{proj, projac, cnp, mnp, adata};
  const int result = sba_mot_levmar_x(n, m, mcon, vmask, p, cnp, x, covx, mnp, sba_mot_Qs,
                                      projac ? sba_mot_Qs_jac : sba_mot_Qs_fdjac, &rec, itmax, verbose, opts, info);
  countPerProjection(info, visibleCount(vmask, n, m));
  return result;
}

int sba_str_levmar(int n, int ncon, int m, const char* vmask, double* p, int pnp, const double* x,
                   const double* covx, int mnp, sba_str_proj_func proj, sba_str_jac_func projac, void* adata,
                   int itmax, int verbose, const double* opts, double* info) {
  if (proj == nullptr) return sba_str_levmar_x(n, ncon, m, vmask, p, pnp, x, covx, mnp, nullptr, nullptr, adata,
                                               itmax, verbose, opts, info);
  StrRecord rec{proj, projac, pnp, mnp, adata};
  const int result = sba_str_levmar_x(n, ncon, m, vmask, p, pnp, x, covx, mnp, sba_str_Qs,
                                      projac ? sba_str_Qs_jac : sba_str_Qs_fdjac, &rec, itmax, verbose, opts, info);
  countPerProjection(info, visibleCount(vmask, n, m));
  return result;
}
