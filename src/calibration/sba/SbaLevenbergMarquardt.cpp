// The Levenberg-Marquardt iteration shared by the motion-and-structure, motion-only and
// structure-only drivers, and the three expert entry points.
#include <Eigen/Core>
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "calibration/sba/SbaDenseSolvers.h"
#include "calibration/sba/SbaSolver.h"

namespace {

using namespace qv::sba;

enum class Kind { MotionAndStructure, MotionOnly, StructureOnly };

// One driver call. For the motion-only kind pnp is 0, for the structure-only kind cnp is 0, so the
// Jacobian and parameter layouts below hold for all three.
struct Call {
  Kind kind;
  int n, ncon, m, mcon;
  const char* vmask;
  double* p;
  int cnp, pnp;
  const double* x;
  const double* covx;
  int mnp;
  sba_proj_func func;
  sba_jac_func fjac;
  void* adata;
  int itmax;
  int verbose;
  const double* opts;
  double* info;
  const char* driver;  // "sba_motstr_levmar_x()" and its siblings, for messages
  const char* tag;     // "motstr", "mot" or "str"
};

// Rows of the per-point products computed at a time in the Schur complement.
constexpr std::size_t kStackTile = 384;

// A step whose square exceeds (‖p‖² + ε2) by this factor's inverse comes from an almost singular system.
constexpr double kSingularStepRatio = 1e-24;

// Sum of squares with four partial sums, so long error vectors add up quickly.
double squaredNorm(const double* v, std::size_t count) {
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  std::size_t k = 0;
  for (; k + 4 <= count; k += 4) {
    s0 += v[k] * v[k];
    s1 += v[k + 1] * v[k + 1];
    s2 += v[k + 2] * v[k + 2];
    s3 += v[k + 3] * v[k + 3];
  }
  for (; k < count; ++k) s0 += v[k] * v[k];
  return (s0 + s1) + (s2 + s3);
}

// Σ_l X(l, xc)·Y(l, yc) over `rows` rows of two row-major blocks of widths xw and yw.
double columnDot(const double* X, int xw, int xc, const double* Y, int yw, int yc, int rows) {
  double sum = 0.0;
  for (int l = 0; l < rows; ++l) sum += X[l * xw + xc] * Y[l * yw + yc];
  return sum;
}

class LevenbergMarquardt {
public:
  explicit LevenbergMarquardt(const Call& call)
      : c_(call), n_(call.n), m_(call.m), cnp_(call.cnp), pnp_(call.pnp), mnp_(call.mnp), ncon_(call.ncon),
        mcon_(call.mcon) {}

  int run();

private:
  void allocate();
  double computeError(const double* predicted, double* out);
  void weightJacobian();
  void accumulateCameraDiagonals();
  void buildNormalEquations();
  void dampDiagonals(double mu);
  void restoreDiagonals();
  int solveStep(double mu);
  int solveSchur();
  void subtractPointProduct(int i);
  void findActiveCameraParameters();
  int solveBlocks();
  void evaluateJacobian();
  void printInvalidProjections(const double* predicted) const;
  int checkJacobian();
  int finish(int result, int reason);

  double* cameraBlock(double* v, int j) const { return v + static_cast<std::size_t>(j) * cnp_; }
  double* pointBlock(double* v, int i) const { return v + pointOffset_ + static_cast<std::size_t>(i) * pnp_; }

  const Call& c_;
  const int n_, m_, cnp_, pnp_, mnp_, ncon_, mcon_;
  int nvis_ = 0;
  std::size_t pointOffset_ = 0;  // m·cnp
  std::size_t nparams_ = 0;
  std::size_t jacStride_ = 0;  // mnp·(cnp + pnp) values per projection

  SbaCrsmHolder idx_;
  std::vector<int> rcidxs_, rcsubs_;
  std::vector<double> jac_, U_, V_, Vinv_, W_, Y_, g_, e_, hx_, eNew_, dp_, pNew_, S_, rhs_, diagU_, diagV_,
      weights_, weightedBlock_, scratch_;
  SbaDenseWorkspace ws_;
  // The camera parameters the Schur system carries: per free camera, the count, the offset in S
  // and (in activeParams_, cnp slots per camera) which parameters.
  std::vector<int> activeParams_, activeCount_, activeOffset_;
  int schurOrder_ = 0;
  // Per-point stacks of the active rows of Y_ij and W_ij, their product and their rows in S.
  std::vector<double> stackY_, stackW_, stackProduct_;
  std::vector<int> stackIndex_;

  // Figures of the run, reported in the information vector.
  double initialErrorSq_ = 0.0, errorSq_ = 0.0, gradientInf_ = 0.0, stepSq_ = 0.0, mu_ = 0.0;
  int iterations_ = 0;
  long long nfev_ = 0, njev_ = 0, nlss_ = 0;
};

void LevenbergMarquardt::allocate() {
  pointOffset_ = static_cast<std::size_t>(m_) * cnp_;
  nparams_ = pointOffset_ + static_cast<std::size_t>(n_) * pnp_;
  jacStride_ = static_cast<std::size_t>(mnp_) * (cnp_ + pnp_);
  const std::size_t nv = static_cast<std::size_t>(nvis_);

  if (!sba_crsm_alloc(&idx_.crsm, n_, m_, nvis_)) throw std::bad_alloc();
  sba_crsm_from_mask(&idx_.crsm, c_.vmask, n_, m_);
  // The work arrays of the routines: as long as the most cameras of a point or points of a camera.
  std::vector<int> pointsPerCamera(m_, 0);
  int widest = 1;
  for (int i = 0; i < n_; ++i) {
    widest = std::max(widest, idx_.crsm.rowptr[i + 1] - idx_.crsm.rowptr[i]);
    for (int k = idx_.crsm.rowptr[i]; k < idx_.crsm.rowptr[i + 1]; ++k) ++pointsPerCamera[idx_.crsm.colidx[k]];
  }
  for (int count : pointsPerCamera) widest = std::max(widest, count);
  rcidxs_.assign(widest, 0);
  rcsubs_.assign(widest, 0);

  jac_.assign(nv * jacStride_, 0.0);
  U_.assign(static_cast<std::size_t>(m_) * cnp_ * cnp_, 0.0);
  V_.assign(static_cast<std::size_t>(n_) * pnp_ * pnp_, 0.0);
  g_.assign(nparams_, 0.0);
  e_.assign(nv * mnp_, 0.0);
  hx_.assign(nv * mnp_, 0.0);
  eNew_.assign(nv * mnp_, 0.0);
  dp_.assign(nparams_, 0.0);
  pNew_.assign(nparams_, 0.0);
  diagU_.assign(static_cast<std::size_t>(m_) * cnp_, 0.0);
  diagV_.assign(static_cast<std::size_t>(n_) * pnp_, 0.0);
  scratch_.assign(static_cast<std::size_t>(std::max({mnp_, pnp_, cnp_, 1})), 0.0);
  activeParams_.assign(static_cast<std::size_t>(m_) * cnp_, 0);
  activeCount_.assign(m_, 0);
  activeOffset_.assign(m_, 0);
  if (c_.kind == Kind::MotionAndStructure) {
    const std::size_t order = static_cast<std::size_t>(m_ - mcon_) * cnp_;
    Vinv_.assign(static_cast<std::size_t>(n_) * pnp_ * pnp_, 0.0);
    W_.assign(nv * cnp_ * pnp_, 0.0);
    Y_.assign(nv * cnp_ * pnp_, 0.0);
    S_.assign(order * order, 0.0);
    rhs_.assign(order, 0.0);
    // The most cameras seeing one point bound the stacks.
    std::size_t widestPoint = 0;
    for (int i = 0; i < n_; ++i) {
      widestPoint = std::max<std::size_t>(widestPoint, idx_.crsm.rowptr[i + 1] - idx_.crsm.rowptr[i]);
    }
    const std::size_t stackRows = widestPoint * cnp_;
    stackY_.assign(stackRows * pnp_, 0.0);
    stackW_.assign(stackRows * pnp_, 0.0);
    stackProduct_.assign(std::min(stackRows, kStackTile) * std::min(stackRows, kStackTile), 0.0);
    stackIndex_.assign(stackRows, 0);
  }
  if (c_.covx != nullptr) {
    weights_.assign(nv * mnp_ * mnp_, 0.0);
    weightedBlock_.assign(static_cast<std::size_t>(mnp_) * std::max(cnp_, pnp_), 0.0);
  }
}

// out = x − predicted, each block multiplied by its weight when there are covariances; returns ‖out‖².
double LevenbergMarquardt::computeError(const double* predicted, double* out) {
  const std::size_t count = static_cast<std::size_t>(nvis_) * mnp_;
  for (std::size_t k = 0; k < count; ++k) out[k] = c_.x[k] - predicted[k];
  if (!weights_.empty()) {
    double* t = scratch_.data();
    for (int k = 0; k < nvis_; ++k) {
      const double* w = weights_.data() + static_cast<std::size_t>(k) * mnp_ * mnp_;
      double* ek = out + static_cast<std::size_t>(k) * mnp_;
      for (int r = 0; r < mnp_; ++r) {
        double sum = 0.0;
        for (int l = r; l < mnp_; ++l) sum += w[r * mnp_ + l] * ek[l];  // the weight is upper triangular
        t[r] = sum;
      }
      std::memcpy(ek, t, static_cast<std::size_t>(mnp_) * sizeof(double));
    }
  }
  return squaredNorm(out, count);
}

void LevenbergMarquardt::weightJacobian() {
  double* t = weightedBlock_.data();
  for (int k = 0; k < nvis_; ++k) {
    const double* w = weights_.data() + static_cast<std::size_t>(k) * mnp_ * mnp_;
    double* block = jac_.data() + static_cast<std::size_t>(k) * jacStride_;
    // A_ij and B_ij sit one after the other; each is multiplied on the left by the weight.
    for (int part = 0; part < 2; ++part) {
      const int width = part == 0 ? cnp_ : pnp_;
      double* mat = part == 0 ? block : block + static_cast<std::size_t>(mnp_) * cnp_;
      for (int r = 0; r < mnp_; ++r) {
        for (int col = 0; col < width; ++col) {
          double sum = 0.0;
          for (int l = r; l < mnp_; ++l) sum += w[r * mnp_ + l] * mat[l * width + col];
          t[r * width + col] = sum;
        }
      }
      std::memcpy(mat, t, static_cast<std::size_t>(mnp_) * width * sizeof(double));
    }
  }
}

// The diagonals of the free U_j, summed in the order of the full build below, so that they are
// bit for bit what summing every entry gives; they decide which camera parameters are active.
void LevenbergMarquardt::accumulateCameraDiagonals() {
  const sba_crsm& idx = idx_.crsm;
  for (int i = 0; i < n_; ++i) {
    for (int k = idx.rowptr[i]; k < idx.rowptr[i + 1]; ++k) {
      const int j = idx.colidx[k];
      if (j < mcon_) continue;
      const double* A = jac_.data() + static_cast<std::size_t>(idx.val[k]) * jacStride_;
      double* Uj = U_.data() + static_cast<std::size_t>(j) * cnp_ * cnp_;
      for (int d = 0; d < cnp_; ++d) Uj[d * cnp_ + d] += columnDot(A, cnp_, d, A, cnp_, d, mnp_);
    }
  }
}

// U, V, W and the gradient. Only the active camera parameters are visited: an inactive one has a
// zero Jacobian column, so its entries are exactly zero, which is what the cleared blocks hold
// (W's inactive rows are never read).
void LevenbergMarquardt::buildNormalEquations() {
  const sba_crsm& idx = idx_.crsm;
  std::fill(U_.begin(), U_.end(), 0.0);
  std::fill(V_.begin(), V_.end(), 0.0);
  std::fill(g_.begin(), g_.end(), 0.0);
  if (cnp_ > 0) {
    accumulateCameraDiagonals();
    findActiveCameraParameters();
  }
  const bool withW = c_.kind == Kind::MotionAndStructure;
  for (int i = 0; i < n_; ++i) {
    const bool freePoint = pnp_ > 0 && i >= ncon_;
    double* Vi = V_.data() + static_cast<std::size_t>(i) * pnp_ * pnp_;
    double* ebi = pointBlock(g_.data(), i);
    for (int k = idx.rowptr[i]; k < idx.rowptr[i + 1]; ++k) {
      const int j = idx.colidx[k];
      const int v = idx.val[k];
      const double* A = jac_.data() + static_cast<std::size_t>(v) * jacStride_;
      const double* B = A + static_cast<std::size_t>(mnp_) * cnp_;
      const double* ek = e_.data() + static_cast<std::size_t>(v) * mnp_;
      const bool freeCamera = cnp_ > 0 && j >= mcon_;
      const int* params = freeCamera ? activeParams_.data() + static_cast<std::size_t>(j) * cnp_ : nullptr;
      const int active = freeCamera ? activeCount_[j] : 0;
      if (freeCamera) {
        double* Uj = U_.data() + static_cast<std::size_t>(j) * cnp_ * cnp_;
        double* eaj = cameraBlock(g_.data(), j);
        for (int a = 0; a < active; ++a) {
          const int r = params[a];
          for (int b = a + 1; b < active; ++b) Uj[r * cnp_ + params[b]] += columnDot(A, cnp_, r, A, cnp_, params[b], mnp_);
          eaj[r] += columnDot(A, cnp_, r, ek, 1, 0, mnp_);
        }
      }
      if (freePoint) {
        for (int r = 0; r < pnp_; ++r) {
          for (int col = r; col < pnp_; ++col) Vi[r * pnp_ + col] += columnDot(B, pnp_, r, B, pnp_, col, mnp_);
          ebi[r] += columnDot(B, pnp_, r, ek, 1, 0, mnp_);
        }
      }
      if (withW && freeCamera && freePoint) {
        double* Wk = W_.data() + static_cast<std::size_t>(v) * cnp_ * pnp_;
        for (int a = 0; a < active; ++a) {
          const int r = params[a];
          for (int col = 0; col < pnp_; ++col) Wk[r * pnp_ + col] = columnDot(A, cnp_, r, B, pnp_, col, mnp_);
        }
      }
    }
  }
  // Mirror the upper triangles.
  auto mirror = [](double* block, int size) {
    for (int r = 0; r < size; ++r) {
      for (int col = 0; col < r; ++col) block[r * size + col] = block[col * size + r];
    }
  };
  for (int j = mcon_; j < m_ && cnp_ > 0; ++j) mirror(U_.data() + static_cast<std::size_t>(j) * cnp_ * cnp_, cnp_);
  for (int i = ncon_; i < n_ && pnp_ > 0; ++i) mirror(V_.data() + static_cast<std::size_t>(i) * pnp_ * pnp_, pnp_);
}

// Every attempt starts from the undamped diagonals, so a rejected attempt leaves no trace in the next.
void LevenbergMarquardt::dampDiagonals(double mu) {
  for (int j = mcon_; j < m_; ++j) {
    double* Uj = U_.data() + static_cast<std::size_t>(j) * cnp_ * cnp_;
    for (int d = 0; d < cnp_; ++d) Uj[d * cnp_ + d] = diagU_[static_cast<std::size_t>(j) * cnp_ + d] + mu;
  }
  for (int i = ncon_; i < n_; ++i) {
    double* Vi = V_.data() + static_cast<std::size_t>(i) * pnp_ * pnp_;
    for (int d = 0; d < pnp_; ++d) Vi[d * pnp_ + d] = diagV_[static_cast<std::size_t>(i) * pnp_ + d] + mu;
  }
}

void LevenbergMarquardt::restoreDiagonals() { dampDiagonals(0.0); }

// Camera parameters whose Jacobian column is zero everywhere (held intrinsics, for instance) have a
// zero U_j row, zero W_ij rows and a zero gradient: in the damped system their row is μ on the
// diagonal and nothing else, so their step is exactly 0 and they are left out of S.
void LevenbergMarquardt::findActiveCameraParameters() {
  int offset = 0;
  for (int j = mcon_; j < m_; ++j) {
    const std::size_t base = static_cast<std::size_t>(j) * cnp_;
    const double* Uj = U_.data() + base * cnp_;
    int count = 0;
    for (int d = 0; d < cnp_; ++d) {
      if (Uj[d * cnp_ + d] != 0.0) activeParams_[base + count++] = d;
    }
    activeCount_[j] = count;
    activeOffset_[j] = offset;
    offset += count;
  }
  schurOrder_ = offset;
}

// S −= Y_i·W_iᵀ over point i's free cameras: the active rows of every Y_ij and W_ij are stacked
// in camera order (so in the order of S) and multiplied as one dense product, of which only the
// upper triangle is needed.
void LevenbergMarquardt::subtractPointProduct(int i) {
  const sba_crsm& idx = idx_.crsm;
  const std::size_t order = static_cast<std::size_t>(schurOrder_);
  const std::size_t cp = static_cast<std::size_t>(cnp_) * pnp_;
  std::size_t rows = 0;
  for (int k = idx.rowptr[i]; k < idx.rowptr[i + 1]; ++k) {
    const int j = idx.colidx[k];
    if (j < mcon_) continue;
    const std::size_t v = static_cast<std::size_t>(idx.val[k]);
    const int* params = activeParams_.data() + static_cast<std::size_t>(j) * cnp_;
    for (int r = 0; r < activeCount_[j]; ++r, ++rows) {
      std::memcpy(stackY_.data() + rows * pnp_, Y_.data() + v * cp + params[r] * pnp_, pnp_ * sizeof(double));
      std::memcpy(stackW_.data() + rows * pnp_, W_.data() + v * cp + params[r] * pnp_, pnp_ * sizeof(double));
      stackIndex_[rows] = activeOffset_[j] + r;
    }
  }
  if (rows == 0) return;
  using RowMajor = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
  const Eigen::Map<const RowMajor> Ystack(stackY_.data(), static_cast<Eigen::Index>(rows), pnp_);
  const Eigen::Map<const RowMajor> Wstack(stackW_.data(), static_cast<Eigen::Index>(rows), pnp_);
  const std::size_t firstRow = static_cast<std::size_t>(stackIndex_[0]);
  if (static_cast<std::size_t>(stackIndex_[rows - 1]) - firstRow == rows - 1) {
    // The rows are one contiguous range of S (every camera in between sees the point): update S in place.
    Eigen::Map<RowMajor, 0, Eigen::OuterStride<>> block(S_.data() + firstRow * order + firstRow,
                                                        static_cast<Eigen::Index>(rows),
                                                        static_cast<Eigen::Index>(rows), Eigen::OuterStride<>(order));
    block.triangularView<Eigen::Upper>() -= Ystack * Wstack.transpose();
    return;
  }
  // Else in tiles scattered into S, so a point seen by very many cameras needs no more memory than one tile.
  for (std::size_t r0 = 0; r0 < rows; r0 += kStackTile) {
    const std::size_t rn = std::min(kStackTile, rows - r0);
    for (std::size_t c0 = r0; c0 < rows; c0 += kStackTile) {
      const std::size_t cn = std::min(kStackTile, rows - c0);
      Eigen::Map<RowMajor> product(stackProduct_.data(), static_cast<Eigen::Index>(rn), static_cast<Eigen::Index>(cn));
      const auto Yrows = Ystack.middleRows(static_cast<Eigen::Index>(r0), static_cast<Eigen::Index>(rn));
      const auto Wrows = Wstack.middleRows(static_cast<Eigen::Index>(c0), static_cast<Eigen::Index>(cn));
      if (c0 == r0) {
        product.triangularView<Eigen::Upper>() = Yrows * Wrows.transpose();
      } else {
        product.noalias() = Yrows * Wrows.transpose();
      }
      for (std::size_t r = 0; r < rn; ++r) {
        double* row = S_.data() + static_cast<std::size_t>(stackIndex_[r0 + r]) * order;
        const double* q = stackProduct_.data() + r * cn;
        for (std::size_t col = (c0 == r0 ? r : 0); col < cn; ++col) row[stackIndex_[c0 + col]] -= q[col];
      }
    }
  }
}

// Schur complement: S·Δa = ea − Σ Y_ij·eb_i, then Δb_i = V*_i⁻¹·(eb_i − Σ W_ijᵀ·Δa_j). Only the
// active rows of Y_ij are formed and only the active camera parameters enter Δb_i: the others
// have zero rows of W_ij and a zero step.
int LevenbergMarquardt::solveSchur() {
  const sba_crsm& idx = idx_.crsm;
  const std::size_t order = static_cast<std::size_t>(schurOrder_);
  const std::size_t pp = static_cast<std::size_t>(pnp_) * pnp_;
  const std::size_t cp = static_cast<std::size_t>(cnp_) * pnp_;

  for (int i = ncon_; i < n_; ++i) {
    double* inv = Vinv_.data() + i * pp;
    std::memcpy(inv, V_.data() + i * pp, pp * sizeof(double));
    const int result = sba_symat_invert_BK(inv, pnp_, &ws_);
    if (result == 0) {
      std::fprintf(stderr, "SBA: singular matrix V*_i (i=%d) in %s, increasing damping\n", i, c_.driver);
      return 0;
    }
    if (result < 0) return -1;
    for (int r = 0; r < pnp_; ++r) {
      for (int col = r + 1; col < pnp_; ++col) inv[r * pnp_ + col] = inv[col * pnp_ + r];
    }
  }

  std::fill(S_.begin(), S_.begin() + order * order, 0.0);
  for (int j = mcon_; j < m_; ++j) {
    const int* params = activeParams_.data() + static_cast<std::size_t>(j) * cnp_;
    const std::size_t base = static_cast<std::size_t>(activeOffset_[j]);
    const double* Uj = U_.data() + static_cast<std::size_t>(j) * cnp_ * cnp_;
    for (int r = 0; r < activeCount_[j]; ++r) {
      for (int col = 0; col < activeCount_[j]; ++col) {
        S_[(base + r) * order + base + col] = Uj[params[r] * cnp_ + params[col]];
      }
      rhs_[base + r] = g_[static_cast<std::size_t>(j) * cnp_ + params[r]];
    }
  }
  for (int i = ncon_; i < n_; ++i) {
    const double* inv = Vinv_.data() + i * pp;
    const double* ebi = pointBlock(g_.data(), i);
    for (int k = idx.rowptr[i]; k < idx.rowptr[i + 1]; ++k) {
      const int j = idx.colidx[k];
      if (j < mcon_) continue;
      const std::size_t v = static_cast<std::size_t>(idx.val[k]);
      const double* Wk = W_.data() + v * cp;
      double* Yk = Y_.data() + v * cp;
      const int* params = activeParams_.data() + static_cast<std::size_t>(j) * cnp_;
      const std::size_t base = static_cast<std::size_t>(activeOffset_[j]);
      for (int a = 0; a < activeCount_[j]; ++a) {
        const int r = params[a];
        for (int col = 0; col < pnp_; ++col) {
          double sum = 0.0;
          for (int l = 0; l < pnp_; ++l) sum += Wk[r * pnp_ + l] * inv[l * pnp_ + col];
          Yk[r * pnp_ + col] = sum;
        }
        const double* yr = Yk + r * pnp_;
        double sum = 0.0;
        for (int l = 0; l < pnp_; ++l) sum += yr[l] * ebi[l];
        rhs_[base + a] -= sum;
      }
    }
  }
  for (int i = ncon_; i < n_; ++i) subtractPointProduct(i);
  // Copy the upper triangle into the lower one, so S is exactly symmetric.
  for (std::size_t r = 0; r < order; ++r) {
    for (std::size_t col = r + 1; col < order; ++col) S_[col * order + r] = S_[r * order + col];
  }

  std::fill(dp_.begin(), dp_.end(), 0.0);
  if (order > 0) {
    const int result = sba_Axb_Chol(S_.data(), rhs_.data(), rhs_.data(), static_cast<int>(order), 1, &ws_);
    ++nlss_;
    if (result != 1) return result;
    for (int j = mcon_; j < m_; ++j) {
      const int* params = activeParams_.data() + static_cast<std::size_t>(j) * cnp_;
      double* daj = cameraBlock(dp_.data(), j);
      for (int r = 0; r < activeCount_[j]; ++r) daj[params[r]] = rhs_[activeOffset_[j] + r];
    }
  }
  for (int i = ncon_; i < n_; ++i) {
    const double* inv = Vinv_.data() + i * pp;
    double* reduced = scratch_.data();
    const double* ebi = pointBlock(g_.data(), i);
    for (int r = 0; r < pnp_; ++r) reduced[r] = ebi[r];
    for (int k = idx.rowptr[i]; k < idx.rowptr[i + 1]; ++k) {
      const int j = idx.colidx[k];
      if (j < mcon_) continue;
      const double* Wk = W_.data() + static_cast<std::size_t>(idx.val[k]) * cp;
      const double* daj = cameraBlock(dp_.data(), j);
      const int* params = activeParams_.data() + static_cast<std::size_t>(j) * cnp_;
      for (int r = 0; r < pnp_; ++r) {
        double sum = 0.0;
        for (int a = 0; a < activeCount_[j]; ++a) sum += Wk[params[a] * pnp_ + r] * daj[params[a]];
        reduced[r] -= sum;
      }
    }
    double* dbi = pointBlock(dp_.data(), i);
    for (int r = 0; r < pnp_; ++r) {
      double sum = 0.0;
      for (int l = 0; l < pnp_; ++l) sum += inv[r * pnp_ + l] * reduced[l];
      dbi[r] = sum;
    }
  }
  return 1;
}

// Motion-only and structure-only steps: each free block solves its own damped system.
int LevenbergMarquardt::solveBlocks() {
  std::fill(dp_.begin(), dp_.end(), 0.0);
  if (cnp_ > 0) {
    for (int j = mcon_; j < m_; ++j) {
      const int result = sba_Axb_Chol(U_.data() + static_cast<std::size_t>(j) * cnp_ * cnp_,
                                      cameraBlock(g_.data(), j), cameraBlock(dp_.data(), j), cnp_, 0, &ws_);
      ++nlss_;
      if (result != 1) return result;
    }
  } else {
    for (int i = ncon_; i < n_; ++i) {
      const int result = sba_Axb_Chol(V_.data() + static_cast<std::size_t>(i) * pnp_ * pnp_, pointBlock(g_.data(), i),
                                      pointBlock(dp_.data(), i), pnp_, 0, &ws_);
      ++nlss_;
      if (result != 1) return result;
    }
  }
  return 1;
}

int LevenbergMarquardt::solveStep(double mu) {
  dampDiagonals(mu);
  return c_.kind == Kind::MotionAndStructure ? solveSchur() : solveBlocks();
}

void LevenbergMarquardt::evaluateJacobian() {
  if (c_.fjac != nullptr) {
    c_.fjac(c_.p, &idx_.crsm, rcidxs_.data(), rcsubs_.data(), jac_.data(), c_.adata);
  } else {
    const int evaluations = sba_fdjac_x(c_.p, &idx_.crsm, rcidxs_.data(), rcsubs_.data(), jac_.data(), cnp_, pnp_,
                                        mnp_, c_.func, c_.adata);
    if (evaluations < 0) throw std::bad_alloc();
    nfev_ += evaluations;
  }
  ++njev_;
  if (!weights_.empty()) weightJacobian();
}

void LevenbergMarquardt::printInvalidProjections(const double* predicted) const {
  const sba_crsm& idx = idx_.crsm;
  for (int i = 0; i < n_; ++i) {
    for (int k = idx.rowptr[i]; k < idx.rowptr[i + 1]; ++k) {
      const double* h = predicted + static_cast<std::size_t>(idx.val[k]) * mnp_;
      for (int l = 0; l < mnp_; ++l) {
        if (!std::isfinite(h[l])) {
          std::fprintf(stderr, "SBA: component %d of the estimated projection of point %d on camera %d is invalid!\n",
                       l, i, idx.colidx[k]);
        }
      }
    }
  }
}

int LevenbergMarquardt::checkJacobian() {
  switch (c_.kind) {
    case Kind::MotionAndStructure:
      return sba_motstr_chkjac(c_.func, c_.fjac, c_.p, &idx_.crsm, cnp_, pnp_, mnp_, c_.adata);
    case Kind::MotionOnly:
      return sba_mot_chkjac(c_.func, c_.fjac, c_.p, &idx_.crsm, cnp_, mnp_, c_.adata);
    case Kind::StructureOnly:
      return sba_str_chkjac(c_.func, c_.fjac, c_.p, &idx_.crsm, pnp_, mnp_, c_.adata);
  }
  return 0;
}

int LevenbergMarquardt::finish(int result, int reason) {
  if (c_.verbose) std::printf("\n");
  restoreDiagonals();
  if (c_.info != nullptr) {
    double largest = DBL_MIN;
    for (int j = mcon_; j < m_; ++j) {
      for (int d = 0; d < cnp_; ++d) largest = std::max(largest, diagU_[static_cast<std::size_t>(j) * cnp_ + d]);
    }
    for (int i = ncon_; i < n_; ++i) {
      for (int d = 0; d < pnp_; ++d) largest = std::max(largest, diagV_[static_cast<std::size_t>(i) * pnp_ + d]);
    }
    double* info = c_.info;
    info[InitialErrorSquared] = initialErrorSq_;
    info[FinalErrorSquared] = errorSq_;
    info[GradientInfinityNorm] = gradientInf_;
    info[LastStepSquared] = stepSq_;
    info[RelativeDamping] = mu_ / largest;
    info[Iterations] = iterations_;
    info[StopReason] = reason;
    info[ProjectionEvaluations] = static_cast<double>(nfev_);
    info[JacobianEvaluations] = static_cast<double>(njev_);
    info[LinearSystemsSolved] = static_cast<double>(nlss_);
  }
  ws_.release();
  return result;
}

int LevenbergMarquardt::run() {
  double tau = kInitialDampingScale, eps1 = kStopThreshold, eps2 = kStopThreshold;
  double eps2Sq = kStopThreshold * kStopThreshold, eps3Sq = kStopThreshold * kStopThreshold, eps4Sq = 0.0;
  if (c_.opts != nullptr) {
    tau = std::fabs(c_.opts[0]);
    eps1 = std::fabs(c_.opts[1]);
    eps2 = std::fabs(c_.opts[2]);
    eps2Sq = c_.opts[2] * c_.opts[2];
    eps3Sq = c_.opts[3] * c_.opts[3];
    eps4Sq = c_.opts[4] * c_.opts[4];
  }

  const std::size_t maskSize = static_cast<std::size_t>(n_) * m_;
  long long visible = 0;
  for (std::size_t k = 0; k < maskSize; ++k) visible += c_.vmask[k] != 0;
  const long long measurements = visible * mnp_;
  const long long unknowns = static_cast<long long>(m_) * cnp_ + static_cast<long long>(n_) * pnp_;
  if (measurements < unknowns) {
    std::fprintf(stderr, "SBA: %s cannot solve a problem with fewer measurements [%lld] than unknowns [%lld]\n",
                 c_.driver, measurements, unknowns);
    return -1;
  }
  if (visible > std::numeric_limits<int>::max() / std::max(1, mnp_)) {
    std::fprintf(stderr, "SBA: %s cannot index %lld projections\n", c_.driver, visible);
    return -1;
  }
  nvis_ = static_cast<int>(visible);

  allocate();

  if (c_.itmax == 0) {
    checkJacobian();
    return 0;
  }

  if (c_.covx != nullptr) {
    const std::size_t block = static_cast<std::size_t>(mnp_) * mnp_;
    for (int i = 0; i < n_; ++i) {
      for (int k = idx_.crsm.rowptr[i]; k < idx_.crsm.rowptr[i + 1]; ++k) {
        const std::size_t v = static_cast<std::size_t>(idx_.crsm.val[k]);
        if (sba_mat_cholinv(c_.covx + v * block, weights_.data() + v * block, mnp_) != 1) {
          std::fprintf(stderr, "SBA: invalid covariance matrix for x_ij (i=%d, j=%d) in %s\n", i,
                       idx_.crsm.colidx[k], c_.driver);
          return finish(-1, SolverFailure);
        }
      }
    }
  }

  c_.func(c_.p, &idx_.crsm, rcidxs_.data(), rcsubs_.data(), hx_.data(), c_.adata);
  nfev_ = 1;
  errorSq_ = initialErrorSq_ = computeError(hx_.data(), e_.data());
  if (c_.verbose) {
    std::printf("initial %s-SBA error %g [%g]\n", c_.tag, errorSq_, errorSq_ / std::max(1, nvis_));
  }
  if (!std::isfinite(errorSq_)) {
    if (c_.verbose) printInvalidProjections(hx_.data());
    return finish(-1, InvalidValues);
  }

  std::int32_t nu = 2;
  int reason = 0;
  for (iterations_ = 0; iterations_ < c_.itmax; ++iterations_) {
    if (c_.verbose) {
      std::printf("\r It %d with error %f", iterations_, errorSq_ / std::max(1, nvis_));
      std::fflush(stdout);
    }
    evaluateJacobian();
    buildNormalEquations();

    const double pSq = squaredNorm(c_.p, nparams_);
    gradientInf_ = 0.0;
    for (double v : g_) gradientInf_ = std::max(gradientInf_, std::fabs(v));
    for (int j = mcon_; j < m_; ++j) {
      const double* Uj = U_.data() + static_cast<std::size_t>(j) * cnp_ * cnp_;
      for (int d = 0; d < cnp_; ++d) diagU_[static_cast<std::size_t>(j) * cnp_ + d] = Uj[d * cnp_ + d];
    }
    for (int i = ncon_; i < n_; ++i) {
      const double* Vi = V_.data() + static_cast<std::size_t>(i) * pnp_ * pnp_;
      for (int d = 0; d < pnp_; ++d) diagV_[static_cast<std::size_t>(i) * pnp_ + d] = Vi[d * pnp_ + d];
    }

    if (gradientInf_ <= eps1) {
      stepSq_ = 0.0;
      reason = SmallGradient;
      break;
    }
    if (iterations_ == 0) {
      double largest = DBL_MIN;
      for (int j = mcon_; j < m_; ++j) {
        for (int d = 0; d < cnp_; ++d) largest = std::max(largest, diagU_[static_cast<std::size_t>(j) * cnp_ + d]);
      }
      for (int i = ncon_; i < n_; ++i) {
        for (int d = 0; d < pnp_; ++d) largest = std::max(largest, diagV_[static_cast<std::size_t>(i) * pnp_ + d]);
      }
      mu_ = tau * largest;
    }

    while (true) {
      const int solved = solveStep(mu_);
      if (solved < 0) return finish(-1, SolverFailure);
      if (solved == 1) {
        for (std::size_t k = 0; k < nparams_; ++k) pNew_[k] = c_.p[k] + dp_[k];
        stepSq_ = squaredNorm(dp_.data(), nparams_);
        if (stepSq_ <= eps2Sq * pSq) {
          reason = SmallStep;
          break;
        }
        // Only a step out of all proportion to p means a singular system; at p = 0 with no step
        // threshold there is nothing to compare with.
        if (pSq + eps2 > 0.0 && stepSq_ >= (pSq + eps2) / kSingularStepRatio) {
          std::fprintf(stderr,
                       "SBA: the matrix of the augmented normal equations is almost singular in %s,\n"
                       "     minimization should be restarted from the current solution with an increased damping "
                       "term\n",
                       c_.driver);
          return finish(-1, SolverFailure);
        }
        c_.func(pNew_.data(), &idx_.crsm, rcidxs_.data(), rcsubs_.data(), hx_.data(), c_.adata);
        ++nfev_;
        if (c_.verbose > 1) {
          std::printf("mean reprojection error %g\n", sba_mean_repr_error(n_, mnp_, c_.x, hx_.data(), &idx_.crsm));
        }
        const double newErrorSq = computeError(hx_.data(), eNew_.data());
        if (!std::isfinite(newErrorSq)) {
          if (c_.verbose) printInvalidProjections(hx_.data());
          reason = InvalidValues;
          break;
        }
        double predicted = 0.0;
        for (std::size_t k = 0; k < nparams_; ++k) predicted += dp_[k] * (mu_ * dp_[k] + g_[k]);
        const double actual = errorSq_ - newErrorSq;
        if (c_.verbose > 1) {
          std::printf("\ndamping term %8g, gain ratio %8g, errors %8g / %8g = %g\n", mu_,
                      predicted != 0.0 ? actual / predicted : actual * 4503599627370496.0,
                      errorSq_ / std::max(1, nvis_), newErrorSq / std::max(1, nvis_), errorSq_ / newErrorSq);
        }
        if (predicted > 0.0 && actual > 0.0) {
          const double ratio = 2.0 * actual / predicted - 1.0;
          mu_ *= std::max(1.0 - ratio * ratio * ratio, 0.3333333334);
          nu = 2;
          const double reduction = std::sqrt(errorSq_) - std::sqrt(newErrorSq);
          if (reduction * reduction < eps4Sq * errorSq_) reason = SmallReduction;
          std::memcpy(c_.p, pNew_.data(), nparams_ * sizeof(double));
          e_.swap(eNew_);
          errorSq_ = newErrorSq;
          break;
        }
      }
      // Rejected: raise the damping and try again, until its multiplier overflows 32 bits.
      mu_ *= nu;
      const std::int64_t doubled = static_cast<std::int64_t>(nu) * 2;
      if (doubled > std::numeric_limits<std::int32_t>::max()) {
        std::fprintf(stderr,
                     "SBA: too many failed attempts to increase the damping factor in %s! Singular Hessian "
                     "matrix?\n",
                     c_.driver);
        reason = DampingOverflow;
        break;
      }
      nu = static_cast<std::int32_t>(doubled);
    }

    if (errorSq_ <= eps3Sq) reason = SmallError;
    if (iterations_ >= c_.itmax - 1) reason = IterationLimit;
    if (reason != 0) {
      ++iterations_;
      break;
    }
  }
  return finish(reason == InvalidValues ? -1 : iterations_, reason);
}

int runDriver(const Call& call) {
  if (call.info != nullptr) std::fill(call.info, call.info + kInfoSize, 0.0);
  if (call.n < 0 || call.m < 0 || call.cnp < 0 || call.pnp < 0 || call.mnp <= 0 || call.ncon < 0 ||
      call.ncon > call.n || call.mcon < 0 || call.mcon > call.m || call.itmax < 0 || call.vmask == nullptr ||
      call.p == nullptr || call.x == nullptr || call.func == nullptr) {
    std::fprintf(stderr, "SBA: invalid arguments to %s\n", call.driver);
    if (call.info != nullptr) call.info[StopReason] = SolverFailure;
    return -1;
  }
  try {
    LevenbergMarquardt solver(call);
    return solver.run();
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "SBA: memory allocation request failed in %s\n", call.driver);
    if (call.info != nullptr) call.info[StopReason] = SolverFailure;
    return -1;
  }
}

}  // namespace

int sba_motstr_levmar_x(int n, int ncon, int m, int mcon, const char* vmask, double* p, int cnp, int pnp,
                        const double* x, const double* covx, int mnp, sba_proj_func func, sba_jac_func fjac,
                        void* adata, int itmax, int verbose, const double* opts, double* info) {
  return runDriver(Call{Kind::MotionAndStructure, n, ncon, m, mcon, vmask, p, cnp, pnp, x, covx, mnp, func, fjac,
                        adata, itmax, verbose, opts, info, "sba_motstr_levmar_x()", "motstr"});
}

int sba_mot_levmar_x(int n, int m, int mcon, const char* vmask, double* p, int cnp, const double* x,
                     const double* covx, int mnp, sba_proj_func func, sba_jac_func fjac, void* adata, int itmax,
                     int verbose, const double* opts, double* info) {
  return runDriver(Call{Kind::MotionOnly, n, 0, m, mcon, vmask, p, cnp, 0, x, covx, mnp, func, fjac, adata, itmax,
                        verbose, opts, info, "sba_mot_levmar_x()", "mot"});
}

int sba_str_levmar_x(int n, int ncon, int m, const char* vmask, double* p, int pnp, const double* x,
                     const double* covx, int mnp, sba_proj_func func, sba_jac_func fjac, void* adata, int itmax,
                     int verbose, const double* opts, double* info) {
  return runDriver(Call{Kind::StructureOnly, n, ncon, m, 0, vmask, p, 0, pnp, x, covx, mnp, func, fjac, adata, itmax,
                        verbose, opts, info, "sba_str_levmar_x()", "str"});
}

double sba_mean_repr_error(int n, int mnp, const double* x, const double* hx, const sba_crsm* idxij) {
  double sum = 0.0;
  int count = 0;
  for (int i = 0; i < n; ++i) {
    for (int k = idxij->rowptr[i]; k < idxij->rowptr[i + 1]; ++k) {
      const std::size_t base = static_cast<std::size_t>(idxij->val[k]) * mnp;
      double sq = 0.0;
      for (int l = 0; l < mnp; ++l) {
        const double d = x[base + l] - hx[base + l];
        sq += d * d;
      }
      sum += std::sqrt(sq);
      ++count;
    }
  }
  return count > 0 ? sum / count : 0.0;
}
