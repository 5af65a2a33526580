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

// Calls visit(i, j, k) for every visible projection, point by point and, within a point, camera
// by camera; k is the projection's index into x and the Jacobian.
template <typename Visit>
void forEachProjection(const sba_crsm* idxij, Visit&& visit) {
  for (int i = 0; i < idxij->nr; ++i) {
    for (int k = idxij->rowptr[i]; k < idxij->rowptr[i + 1]; ++k) visit(i, idxij->colidx[k], idxij->val[k]);
  }
}

// Forward differences of one projection in `count` parameters: `project(out)` predicts x_ij at the
// current parameters; column d of the row-major mnp×count block `derivative` becomes the change of
// x_ij when parameter d moves by its step. The parameters are restored exactly.
template <typename Project>
void differenceColumns(double* parameters, int count, int mnp, double* derivative, std::vector<double>& first,
                       std::vector<double>& second, Project&& project) {
  project(first.data());
  for (int d = 0; d < count; ++d) {
    const double saved = parameters[d];
    const double delta = differenceStep(saved);
    parameters[d] = saved + delta;
    project(second.data());
    parameters[d] = saved;
    for (int l = 0; l < mnp; ++l) derivative[l * count + d] = (second[l] - first[l]) / delta;
  }
}

// The derivatives in a camera's parameters, camera by camera over the points it sees (found with
// the column walk, so `rcidxs` and `rcsubs` serve as its work arrays). `blockOf(k)` is where the
// camera block of projection k starts in the Jacobian; `project(j, i, out)` predicts x_ij.
template <typename BlockOf, typename Project>
void differenceCameras(double* p, sba_crsm* idxij, int* rcidxs, int* rcsubs, int cnp, int mnp, BlockOf&& blockOf,
                       Project&& project) {
  std::vector<double> first(mnp), second(mnp);
  for (int j = 0; j < idxij->nc; ++j) {
    double* aj = p + static_cast<std::size_t>(j) * cnp;
    const int count = sba_crsm_col_elmidxs(idxij, j, rcidxs, rcsubs);
    for (int c = 0; c < count; ++c) {
      const int i = rcsubs[c];
      differenceColumns(aj, cnp, mnp, blockOf(rcidxs[c]), first, second,
                        [&](double* out) { project(j, i, aj, out); });
    }
  }
}

// The derivatives in a point's parameters, point by point over the cameras that see it.
template <typename BlockOf, typename Project>
void differencePoints(double* pb, const sba_crsm* idxij, int pnp, int mnp, BlockOf&& blockOf, Project&& project) {
  std::vector<double> first(mnp), second(mnp);
  forEachProjection(idxij, [&](int i, int j, int k) {
    double* bi = pb + static_cast<std::size_t>(i) * pnp;
    differenceColumns(bi, pnp, mnp, blockOf(k), first, second, [&](double* out) { project(j, i, bi, out); });
  });
}

// ---- motion and structure ----

struct MotStrRecord {
  sba_motstr_proj_func proj;
  sba_motstr_jac_func projac;
  int cnp, pnp, mnp;
  void* adata;

  double* camera(double* p, int j) const { return p + static_cast<std::size_t>(j) * cnp; }
  double* point(double* pb, int i) const { return pb + static_cast<std::size_t>(i) * pnp; }
  std::size_t aSize() const { return static_cast<std::size_t>(mnp) * cnp; }
  std::size_t stride() const { return aSize() + static_cast<std::size_t>(mnp) * pnp; }
};

void sba_motstr_Qs(double* p, sba_crsm* idxij, int*, int*, double* hx, void* adata) {
  const auto* rec = static_cast<const MotStrRecord*>(adata);
  double* pb = rec->camera(p, idxij->nc);
  forEachProjection(idxij, [&](int i, int j, int k) {
    rec->proj(j, i, rec->camera(p, j), rec->point(pb, i), hx + static_cast<std::size_t>(k) * rec->mnp, rec->adata);
  });
}

void sba_motstr_Qs_jac(double* p, sba_crsm* idxij, int*, int*, double* jac, void* adata) {
  const auto* rec = static_cast<const MotStrRecord*>(adata);
  double* pb = rec->camera(p, idxij->nc);
  forEachProjection(idxij, [&](int i, int j, int k) {
    double* A = jac + static_cast<std::size_t>(k) * rec->stride();
    rec->projac(j, i, rec->camera(p, j), rec->point(pb, i), A, A + rec->aSize(), rec->adata);
  });
}

void sba_motstr_Qs_fdjac(double* p, sba_crsm* idxij, int* rcidxs, int* rcsubs, double* jac, void* adata) {
  const auto* rec = static_cast<const MotStrRecord*>(adata);
  double* pb = rec->camera(p, idxij->nc);
  const std::size_t stride = rec->stride();
  differenceCameras(
      p, idxij, rcidxs, rcsubs, rec->cnp, rec->mnp, [&](int k) { return jac + static_cast<std::size_t>(k) * stride; },
      [&](int j, int i, double* aj, double* out) { rec->proj(j, i, aj, rec->point(pb, i), out, rec->adata); });
  differencePoints(
      pb, idxij, rec->pnp, rec->mnp, [&](int k) { return jac + static_cast<std::size_t>(k) * stride + rec->aSize(); },
      [&](int j, int i, double* bi, double* out) { rec->proj(j, i, rec->camera(p, j), bi, out, rec->adata); });
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
  forEachProjection(idxij, [&](int i, int j, int k) {
    rec->proj(j, i, p + static_cast<std::size_t>(j) * rec->cnp, hx + static_cast<std::size_t>(k) * rec->mnp,
              rec->adata);
  });
}

void sba_mot_Qs_jac(double* p, sba_crsm* idxij, int*, int*, double* jac, void* adata) {
  const auto* rec = static_cast<const MotRecord*>(adata);
  const std::size_t asz = static_cast<std::size_t>(rec->mnp) * rec->cnp;
  forEachProjection(idxij, [&](int i, int j, int k) {
    rec->projac(j, i, p + static_cast<std::size_t>(j) * rec->cnp, jac + static_cast<std::size_t>(k) * asz, rec->adata);
  });
}

void sba_mot_Qs_fdjac(double* p, sba_crsm* idxij, int* rcidxs, int* rcsubs, double* jac, void* adata) {
  const auto* rec = static_cast<const MotRecord*>(adata);
  const std::size_t asz = static_cast<std::size_t>(rec->mnp) * rec->cnp;
  differenceCameras(
      p, idxij, rcidxs, rcsubs, rec->cnp, rec->mnp, [&](int k) { return jac + static_cast<std::size_t>(k) * asz; },
      [&](int j, int i, double* aj, double* out) { rec->proj(j, i, aj, out, rec->adata); });
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
  forEachProjection(idxij, [&](int i, int j, int k) {
    rec->proj(j, i, p + static_cast<std::size_t>(i) * rec->pnp, hx + static_cast<std::size_t>(k) * rec->mnp,
              rec->adata);
  });
}

void sba_str_Qs_jac(double* p, sba_crsm* idxij, int*, int*, double* jac, void* adata) {
  const auto* rec = static_cast<const StrRecord*>(adata);
  const std::size_t bsz = static_cast<std::size_t>(rec->mnp) * rec->pnp;
  forEachProjection(idxij, [&](int i, int j, int k) {
    rec->projac(j, i, p + static_cast<std::size_t>(i) * rec->pnp, jac + static_cast<std::size_t>(k) * bsz, rec->adata);
  });
}

void sba_str_Qs_fdjac(double* p, sba_crsm* idxij, int*, int*, double* jac, void* adata) {
  const auto* rec = static_cast<const StrRecord*>(adata);
  const std::size_t bsz = static_cast<std::size_t>(rec->mnp) * rec->pnp;
  differencePoints(
      p, idxij, rec->pnp, rec->mnp, [&](int k) { return jac + static_cast<std::size_t>(k) * bsz; },
      [&](int j, int i, double* bi, double* out) { rec->proj(j, i, bi, out, rec->adata); });
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
