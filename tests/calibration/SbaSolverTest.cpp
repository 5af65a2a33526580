// The sparse Levenberg-Marquardt drivers on small problems whose answers are known: stop reasons,
// held blocks, damping, covariances, the Jacobian check and the three driver families.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "calibration/sba/SbaCrsm.h"
#include "calibration/sba/SbaSolver.h"

using namespace qv::sba;

namespace {

// ---- A planar rig: camera j is a rotation θ_j and a shift t_j, point i a 2D point b_i, and
// x_ij = R(θ_j)·b_i + t_j. Nonlinear, with the rigid motions of the plane as its gauge freedom.

constexpr int kRigCnp = 3;
constexpr int kRigPnp = 2;
constexpr int kRigMnp = 2;

struct RigOptions {
  bool negateJacobian = false;
  const std::vector<double>* nanUnlessAt = nullptr;  // projections are NaN once a camera leaves these values
};

void rigProject(int j, int, double* aj, double* bi, double* xij, void* adata) {
  const auto* options = static_cast<const RigOptions*>(adata);
  const double c = std::cos(aj[0]);
  const double s = std::sin(aj[0]);
  xij[0] = c * bi[0] - s * bi[1] + aj[1];
  xij[1] = s * bi[0] + c * bi[1] + aj[2];
  if (options != nullptr && options->nanUnlessAt != nullptr && aj[0] != (*options->nanUnlessAt)[j * kRigCnp]) {
    xij[0] = std::numeric_limits<double>::quiet_NaN();
  }
}

void rigJacobian(int, int, double* aj, double* bi, double* A, double* B, void* adata) {
  const auto* options = static_cast<const RigOptions*>(adata);
  const double c = std::cos(aj[0]);
  const double s = std::sin(aj[0]);
  const double sign = options != nullptr && options->negateJacobian ? -1.0 : 1.0;
  const double a[6] = {-s * bi[0] - c * bi[1], 1.0, 0.0, c * bi[0] - s * bi[1], 0.0, 1.0};
  const double b[4] = {c, -s, s, c};
  for (int k = 0; k < 6; ++k) A[k] = sign * a[k];
  for (int k = 0; k < 4; ++k) B[k] = sign * b[k];
}

struct Rig {
  int n = 0;
  int m = 0;
  std::vector<char> mask;
  std::vector<double> truth;  // cameras then points
  std::vector<double> x;      // measurements
  int nvis = 0;
};

// m cameras, n points; camera j misses point i when (i + 2j) % 7 == 0.
Rig makeRig(int m, int n, double noise, unsigned seed) {
  Rig rig;
  rig.m = m;
  rig.n = n;
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> spread(-10.0, 10.0);
  std::normal_distribution<double> jitter(0.0, noise);
  for (int j = 0; j < m; ++j) {
    rig.truth.push_back(0.3 * j - 0.5);
    rig.truth.push_back(spread(random));
    rig.truth.push_back(spread(random));
  }
  for (int i = 0; i < n; ++i) {
    rig.truth.push_back(spread(random));
    rig.truth.push_back(spread(random));
  }
  rig.mask.assign(static_cast<std::size_t>(n) * m, 0);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < m; ++j) {
      if ((i + 2 * j) % 7 == 0) continue;
      rig.mask[i * m + j] = 1;
      double xij[2];
      rigProject(j, i, rig.truth.data() + j * kRigCnp, rig.truth.data() + m * kRigCnp + i * kRigPnp, xij, nullptr);
      rig.x.push_back(xij[0] + (noise > 0.0 ? jitter(random) : 0.0));
      rig.x.push_back(xij[1] + (noise > 0.0 ? jitter(random) : 0.0));
      ++rig.nvis;
    }
  }
  return rig;
}

std::vector<double> perturbed(const std::vector<double>& p, double amount, unsigned seed) {
  std::mt19937 random(seed);
  std::normal_distribution<double> unit(0.0, 1.0);
  std::vector<double> out = p;
  for (double& v : out) v += amount * unit(random);
  return out;
}

int runRig(const Rig& rig, std::vector<double>& p, const double* opts, double* info, int itmax = 100,
           RigOptions* options = nullptr, int ncon = 0, int mcon = 0, const double* covx = nullptr,
           bool analytic = true) {
  return sba_motstr_levmar(rig.n, ncon, rig.m, mcon, rig.mask.data(), p.data(), kRigCnp, kRigPnp, rig.x.data(), covx,
                           kRigMnp, rigProject, analytic ? rigJacobian : nullptr, options, itmax, 0, opts, info);
}

// Sum of squared residuals of the rig at p.
double rigError(const Rig& rig, const std::vector<double>& p) {
  double sum = 0.0;
  int k = 0;
  for (int i = 0; i < rig.n; ++i) {
    for (int j = 0; j < rig.m; ++j) {
      if (!rig.mask[i * rig.m + j]) continue;
      double xij[2];
      rigProject(j, i, const_cast<double*>(p.data()) + j * kRigCnp,
                 const_cast<double*>(p.data()) + rig.m * kRigCnp + i * kRigPnp, xij, nullptr);
      sum += std::pow(rig.x[2 * k] - xij[0], 2) + std::pow(rig.x[2 * k + 1] - xij[1], 2);
      ++k;
    }
  }
  return sum;
}

}  // namespace

TEST(SbaCrsm, FindsElementsByRowAndColumn) {
  // 3 points × 4 cameras.
  const char mask[12] = {1, 0, 1, 1,  //
                         0, 0, 0, 1,  //
                         1, 1, 0, 0};
  SbaCrsmHolder holder;
  ASSERT_TRUE(sba_crsm_alloc(&holder.crsm, 3, 4, 6));
  sba_crsm_from_mask(&holder.crsm, mask, 3, 4);
  const sba_crsm& sm = holder.crsm;
  EXPECT_EQ(sm.rowptr[3], 6);
  EXPECT_EQ(sba_crsm_elmidx(&sm, 0, 3), 2);
  EXPECT_EQ(sba_crsm_elmidx(&sm, 1, 3), 3);
  EXPECT_EQ(sba_crsm_elmidx(&sm, 1, 0), -1);
  EXPECT_EQ(sba_crsm_elmidx(&sm, 2, 1), 5);
  EXPECT_EQ(sba_crsm_elmidxp(&sm, 0, 3, 0, 0), 2);
  EXPECT_EQ(sba_crsm_elmidxp(&sm, 0, 0, 3, 2), 0);
  EXPECT_EQ(sba_crsm_elmidxp(&sm, 0, 2, 2, 1), 1);
  EXPECT_EQ(sba_crsm_elmidxp(&sm, 0, 1, 0, 0), -1);
  int vidx[4];
  int sub[4];
  ASSERT_EQ(sba_crsm_row_elmidxs(&sm, 0, vidx, sub), 3);
  EXPECT_EQ(sub[0], 0);
  EXPECT_EQ(sub[2], 3);
  ASSERT_EQ(sba_crsm_col_elmidxs(&sm, 3, vidx, sub), 2);
  EXPECT_EQ(vidx[0], 2);
  EXPECT_EQ(sub[0], 0);
  EXPECT_EQ(vidx[1], 3);
  EXPECT_EQ(sub[1], 1);
  EXPECT_EQ(sba_crsm_col_elmidxs(&sm, 1, vidx, sub), 1);
  sba_crsm_free(&holder.crsm);
  EXPECT_EQ(holder.crsm.nnz, -1);
  EXPECT_EQ(holder.crsm.val, nullptr);
  sba_crsm negative;
  EXPECT_FALSE(sba_crsm_alloc(&negative, -1, 2, 3));
  EXPECT_EQ(negative.val, nullptr);
}

TEST(SbaStopReasons, ExactStartStopsOnTheGradientAtOnce) {
  const Rig rig = makeRig(4, 9, 0.0, 1);
  std::vector<double> p = rig.truth;
  double info[kInfoSize];
  EXPECT_EQ(runRig(rig, p, nullptr, info), 0);
  EXPECT_EQ(info[StopReason], SmallGradient);
  EXPECT_EQ(info[LastStepSquared], 0.0);
  EXPECT_EQ(info[InitialErrorSquared], 0.0);
  EXPECT_EQ(p, rig.truth);
}

TEST(SbaStopReasons, EachThresholdEndsTheRunWithItsReason) {
  const Rig rig = makeRig(5, 12, 0.05, 2);
  const std::vector<double> start = perturbed(rig.truth, 0.05, 3);
  double info[kInfoSize];

  // An iteration limit of 1 reports reason 3 after one iteration.
  std::vector<double> p = start;
  EXPECT_EQ(runRig(rig, p, nullptr, info, 1), 1);
  EXPECT_EQ(info[StopReason], IterationLimit);
  EXPECT_LT(info[FinalErrorSquared], info[InitialErrorSquared]);

  // A generous relative step threshold stops on the step.
  const double smallStep[kOptionsSize] = {1e-3, 0.0, 1e-2, 0.0, 0.0};
  p = start;
  EXPECT_GE(runRig(rig, p, smallStep, info), 1);
  EXPECT_EQ(info[StopReason], SmallStep);

  // A relative reduction threshold near 1 stops once an accepted step gains little.
  const double smallReduction[kOptionsSize] = {1e-3, 0.0, 0.0, 0.0, 0.999};
  p = start;
  EXPECT_GE(runRig(rig, p, smallReduction, info), 1);
  EXPECT_EQ(info[StopReason], SmallReduction);

  // A large error threshold stops after the first iteration.
  const double smallError[kOptionsSize] = {1e-3, 0.0, 0.0, 1e3, 0.0};
  p = start;
  EXPECT_EQ(runRig(rig, p, smallError, info), 1);
  EXPECT_EQ(info[StopReason], SmallError);

  // With the defaults the run reaches the least-squares minimum.
  p = start;
  const int iterations = runRig(rig, p, nullptr, info);
  EXPECT_GT(iterations, 1);
  EXPECT_LT(iterations, 100);
  EXPECT_NEAR(info[FinalErrorSquared], rigError(rig, p), 1e-12);
  EXPECT_LT(info[GradientInfinityNorm], 1e-6);
  // Per-projection routines are counted per projection.
  EXPECT_EQ(std::fmod(info[ProjectionEvaluations], rig.nvis), 0.0);
  EXPECT_EQ(std::fmod(info[JacobianEvaluations], rig.nvis), 0.0);
  EXPECT_EQ(info[JacobianEvaluations], rig.nvis * info[Iterations]);
}

TEST(SbaStopReasons, AnUphillJacobianExhaustsTheDamping) {
  const Rig rig = makeRig(3, 8, 0.05, 4);
  const std::vector<double> start = perturbed(rig.truth, 0.05, 5);
  std::vector<double> p = start;
  RigOptions uphill;
  uphill.negateJacobian = true;
  const double opts[kOptionsSize] = {1e-3, 0.0, 0.0, 0.0, 0.0};
  double info[kInfoSize];
  EXPECT_EQ(runRig(rig, p, opts, info, 100, &uphill), 1);
  EXPECT_EQ(info[StopReason], DampingOverflow);
  EXPECT_EQ(p, start);
  EXPECT_EQ(info[FinalErrorSquared], info[InitialErrorSquared]);
}

TEST(SbaStopReasons, NonFiniteProjectionsFailTheRunAndKeepTheLastAcceptedValues) {
  const Rig rig = makeRig(3, 8, 0.05, 6);
  const std::vector<double> start = perturbed(rig.truth, 0.05, 7);
  RigOptions poisoned;
  poisoned.nanUnlessAt = &start;
  double info[kInfoSize];
  std::vector<double> p = start;
  EXPECT_EQ(runRig(rig, p, nullptr, info, 100, &poisoned), -1);
  EXPECT_EQ(info[StopReason], InvalidValues);
  EXPECT_EQ(p, start);

  // In the last iteration the limit allows, the limit is what is reported.
  p = start;
  EXPECT_EQ(runRig(rig, p, nullptr, info, 1, &poisoned), 1);
  EXPECT_EQ(info[StopReason], IterationLimit);

  // A start that does not project stops before any iteration.
  std::vector<double> broken = start;
  broken[rig.m * kRigCnp] = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(runRig(rig, broken, nullptr, info), -1);
  EXPECT_EQ(info[StopReason], InvalidValues);
  EXPECT_EQ(info[Iterations], 0.0);
}

TEST(SbaSolver, TooFewMeasurementsLeaveTheParametersAlone) {
  Rig rig = makeRig(4, 3, 0.0, 8);  // at most 24 values for 18 unknowns, fewer with the mask
  std::fill(rig.mask.begin(), rig.mask.begin() + 6, 0);
  std::vector<double> p = perturbed(rig.truth, 0.1, 9);
  const std::vector<double> before = p;
  double info[kInfoSize];
  EXPECT_EQ(runRig(rig, p, nullptr, info), -1);
  EXPECT_EQ(p, before);
}

TEST(SbaSolver, HeldCamerasAndPointsStayExactly) {
  const Rig rig = makeRig(5, 12, 0.05, 10);
  std::vector<double> p = perturbed(rig.truth, 0.05, 11);
  const std::vector<double> before = p;
  const int mcon = 2;
  const int ncon = 3;
  double info[kInfoSize];
  ASSERT_GT(runRig(rig, p, nullptr, info, 100, nullptr, ncon, mcon), 0);
  for (int k = 0; k < mcon * kRigCnp; ++k) EXPECT_EQ(p[k], before[k]);
  for (int k = 0; k < ncon * kRigPnp; ++k) EXPECT_EQ(p[rig.m * kRigCnp + k], before[rig.m * kRigCnp + k]);
  EXPECT_NE(p[mcon * kRigCnp], before[mcon * kRigCnp]);
  EXPECT_NE(p.back(), before.back());
  EXPECT_LT(info[FinalErrorSquared], 0.5 * info[InitialErrorSquared]);
}

TEST(SbaSolver, ForwardDifferencesReachTheSameMinimum) {
  const Rig rig = makeRig(4, 10, 0.05, 12);
  const std::vector<double> start = perturbed(rig.truth, 0.05, 13);
  std::vector<double> analytic = start;
  std::vector<double> differenced = start;
  double info[kInfoSize];
  ASSERT_GT(runRig(rig, analytic, nullptr, info), 0);
  const double analyticError = info[FinalErrorSquared];
  ASSERT_GT(runRig(rig, differenced, nullptr, info, 100, nullptr, 0, 0, nullptr, false), 0);
  EXPECT_NEAR(info[FinalErrorSquared], analyticError, 1e-9);
}

TEST(SbaSolver, CovariancesWeightTheResiduals) {
  const Rig rig = makeRig(4, 10, 0.05, 14);
  const std::vector<double> start = perturbed(rig.truth, 0.05, 15);
  double info[kInfoSize];
  std::vector<double> plain = start;
  ASSERT_GT(runRig(rig, plain, nullptr, info), 0);
  const double plainError = info[FinalErrorSquared];

  // Covariance 4·I: the same minimiser, every squared residual weighted by 1/4.
  std::vector<double> covx(static_cast<std::size_t>(rig.nvis) * 4, 0.0);
  for (int k = 0; k < rig.nvis; ++k) {
    covx[4 * k] = 4.0;
    covx[4 * k + 3] = 4.0;
  }
  std::vector<double> weighted = start;
  ASSERT_GT(runRig(rig, weighted, nullptr, info, 100, nullptr, 0, 0, covx.data()), 0);
  EXPECT_NEAR(info[FinalErrorSquared], plainError / 4.0, 1e-9);
  EXPECT_NEAR(rigError(rig, weighted), plainError, 1e-8);

  // A covariance block that is not positive definite is refused.
  covx[3] = -1.0;
  std::vector<double> refused = start;
  EXPECT_EQ(runRig(rig, refused, nullptr, info, 100, nullptr, 0, 0, covx.data()), -1);
  EXPECT_EQ(refused, start);
}

TEST(SbaSolver, JacobianCheckRunsInsteadOfMinimising) {
  const Rig rig = makeRig(3, 6, 0.0, 16);
  std::vector<double> p = perturbed(rig.truth, 0.1, 17);
  const std::vector<double> before = p;
  double info[kInfoSize];
  testing::internal::CaptureStderr();
  EXPECT_EQ(runRig(rig, p, nullptr, info, 0), 0);
  std::string report = testing::internal::GetCapturedStderr();
  EXPECT_NE(report.find("SBA: found 0 suspicious gradients out of"), std::string::npos) << report;
  EXPECT_EQ(p, before);

  RigOptions uphill;
  uphill.negateJacobian = true;
  testing::internal::CaptureStderr();
  EXPECT_EQ(runRig(rig, p, nullptr, info, 0, &uphill), 0);
  report = testing::internal::GetCapturedStderr();
  EXPECT_NE(report.find("is wrong"), std::string::npos) << report;
  EXPECT_EQ(report.find("SBA: found 0 suspicious"), std::string::npos) << report;
}

// ---- A linear problem, x_ij = a_j + b_i, through the expert interface: its normal equations are
// known in closed form, so a step can be checked exactly.

namespace {

struct LinearProbe {
  int calls = 0;
  int disturbedCall = -1;  // this evaluation's first projection is pushed far off, so its step is rejected
  int recordedCall = -1;
  std::vector<double> recorded;
  std::size_t parameters = 0;
};

void linearProject(double* p, sba_crsm* idx, int*, int*, double* hx, void* adata) {
  auto* probe = static_cast<LinearProbe*>(adata);
  ++probe->calls;
  for (int i = 0; i < idx->nr; ++i) {
    for (int k = idx->rowptr[i]; k < idx->rowptr[i + 1]; ++k) hx[idx->val[k]] = p[idx->colidx[k]] + p[idx->nc + i];
  }
  if (probe->calls == probe->disturbedCall) hx[0] += 1e6;
  if (probe->calls == probe->recordedCall) probe->recorded.assign(p, p + probe->parameters);
}

void linearJacobian(double*, sba_crsm* idx, int*, int*, double* jac, void*) {
  for (int k = 0; k < idx->nnz; ++k) {
    jac[2 * k] = 1.0;
    jac[2 * k + 1] = 1.0;
  }
}

}  // namespace

TEST(SbaSolver, AStepAfterARejectionUsesOnlyTheNewDamping) {
  const int m = 3;
  const int n = 4;
  std::vector<char> mask(n * m, 1);
  mask[1 * m + 2] = 0;
  std::vector<double> x;
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < m; ++j) {
      if (mask[i * m + j]) x.push_back(1.5 * j - 0.7 * i + 0.1 * ((i * 7 + j * 3) % 5));
    }
  }
  const int nvis = static_cast<int>(x.size());
  std::vector<double> p(m + n, 0.0);
  for (int k = 0; k < m + n; ++k) p[k] = 0.2 * k;
  const std::vector<double> start = p;

  // The second evaluation is the first trial; its rejection doubles μ for the second trial.
  LinearProbe probe;
  probe.disturbedCall = 2;
  probe.recordedCall = 3;
  probe.parameters = p.size();
  const double tau = 1.0;
  const double opts[kOptionsSize] = {tau, 0.0, 0.0, 0.0, 0.0};
  double info[kInfoSize];
  sba_motstr_levmar_x(n, 0, m, 0, mask.data(), p.data(), 1, 1, x.data(), nullptr, 1, linearProject, linearJacobian,
                      &probe, 1, 0, opts, info);
  ASSERT_EQ(probe.recorded.size(), p.size());

  // The same trial point from the dense normal equations: (JᵀJ + 2μ₀I)Δp = Jᵀe.
  Eigen::MatrixXd J = Eigen::MatrixXd::Zero(nvis, m + n);
  Eigen::VectorXd e(nvis);
  int k = 0;
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < m; ++j) {
      if (!mask[i * m + j]) continue;
      J(k, j) = 1.0;
      J(k, m + i) = 1.0;
      e(k) = x[k] - (start[j] + start[m + i]);
      ++k;
    }
  }
  const Eigen::MatrixXd H = J.transpose() * J;
  const double mu = 2.0 * tau * H.diagonal().maxCoeff();
  const Eigen::VectorXd step =
      (H + mu * Eigen::MatrixXd::Identity(m + n, m + n)).ldlt().solve(J.transpose() * e);
  for (int q = 0; q < m + n; ++q) EXPECT_NEAR(probe.recorded[q], start[q] + step(q), 1e-12) << "parameter " << q;
}

TEST(SbaSolver, ReachesTheLinearLeastSquaresMinimum) {
  const int m = 6;
  const int n = 9;
  std::vector<char> mask(n * m, 0);
  std::vector<double> x;
  std::mt19937 random(18);
  std::uniform_real_distribution<double> value(-3.0, 3.0);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < m; ++j) {
      if ((i * 5 + j * 3) % 4 == 0) continue;
      mask[i * m + j] = 1;
      x.push_back(value(random));
    }
  }
  const int nvis = static_cast<int>(x.size());
  std::vector<double> p(m + n, 0.0);
  LinearProbe probe;
  // From p = 0 with no step threshold: no step may be taken for a sign of a singular system.
  const double opts[kOptionsSize] = {1e-3, 1e-10, 0.0, 0.0, 0.0};
  double info[kInfoSize];
  ASSERT_GT(sba_motstr_levmar_x(n, 0, m, 1, mask.data(), p.data(), 1, 1, x.data(), nullptr, 1, linearProject,
                                linearJacobian, &probe, 200, 0, opts, info),
            0);
  // With camera 0 held at 0 the problem has a unique solution.
  Eigen::MatrixXd J = Eigen::MatrixXd::Zero(nvis, m - 1 + n);
  Eigen::VectorXd b(nvis);
  int k = 0;
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < m; ++j) {
      if (!mask[i * m + j]) continue;
      if (j > 0) J(k, j - 1) = 1.0;
      J(k, m - 1 + i) = 1.0;
      b(k) = x[k];
      ++k;
    }
  }
  const Eigen::VectorXd solution = J.colPivHouseholderQr().solve(b);
  EXPECT_EQ(p[0], 0.0);
  for (int q = 1; q < m + n; ++q) EXPECT_NEAR(p[q], solution(q - 1), 1e-8) << "parameter " << q;
}

// ---- Motion-only and structure-only drivers on the planar rig.

namespace {

struct RigParts {
  const double* points;   // for the motion-only driver
  const double* cameras;  // for the structure-only driver
};

void rigMotProject(int j, int i, double* aj, double* xij, void* adata) {
  const auto* parts = static_cast<const RigParts*>(adata);
  rigProject(j, i, aj, const_cast<double*>(parts->points) + i * kRigPnp, xij, nullptr);
}

void rigMotJacobian(int j, int i, double* aj, double* A, void* adata) {
  const auto* parts = static_cast<const RigParts*>(adata);
  double B[4];
  rigJacobian(j, i, aj, const_cast<double*>(parts->points) + i * kRigPnp, A, B, nullptr);
}

void rigStrProject(int j, int i, double* bi, double* xij, void* adata) {
  const auto* parts = static_cast<const RigParts*>(adata);
  rigProject(j, i, const_cast<double*>(parts->cameras) + j * kRigCnp, bi, xij, nullptr);
}

void rigStrJacobian(int j, int i, double* bi, double* B, void* adata) {
  const auto* parts = static_cast<const RigParts*>(adata);
  double A[6];
  rigJacobian(j, i, const_cast<double*>(parts->cameras) + j * kRigCnp, bi, A, B, nullptr);
}

}  // namespace

TEST(SbaSolver, MotionOnlyAndStructureOnlyDriversRecoverTheirBlocks) {
  const Rig rig = makeRig(5, 10, 0.0, 19);
  const std::size_t cameraValues = static_cast<std::size_t>(rig.m) * kRigCnp;
  std::vector<double> cameras(rig.truth.begin(), rig.truth.begin() + cameraValues);
  std::vector<double> points(rig.truth.begin() + cameraValues, rig.truth.end());
  double info[kInfoSize];

  // Cameras from known points; camera 0 held.
  RigParts parts{points.data(), nullptr};
  std::vector<double> movedCameras = perturbed(cameras, 0.05, 20);
  const std::vector<double> cameraStart = movedCameras;
  ASSERT_GT(sba_mot_levmar(rig.n, rig.m, 1, rig.mask.data(), movedCameras.data(), kRigCnp, rig.x.data(), nullptr,
                           kRigMnp, rigMotProject, rigMotJacobian, &parts, 100, 0, nullptr, info),
            0);
  for (int k = 0; k < kRigCnp; ++k) EXPECT_EQ(movedCameras[k], cameraStart[k]);
  for (std::size_t k = kRigCnp; k < cameraValues; ++k) EXPECT_NEAR(movedCameras[k], cameras[k], 1e-6);
  EXPECT_LT(info[FinalErrorSquared], info[InitialErrorSquared]);

  // With every camera free the cameras return exactly; forward differences do as well.
  movedCameras = cameraStart;
  ASSERT_GT(sba_mot_levmar(rig.n, rig.m, 0, rig.mask.data(), movedCameras.data(), kRigCnp, rig.x.data(), nullptr,
                           kRigMnp, rigMotProject, nullptr, &parts, 100, 0, nullptr, info),
            0);
  for (std::size_t k = 0; k < cameraValues; ++k) EXPECT_NEAR(movedCameras[k], cameras[k], 1e-6);

  // Points from known cameras; the first two points held.
  RigParts cameraParts{nullptr, cameras.data()};
  std::vector<double> movedPoints = perturbed(points, 0.5, 21);
  const std::vector<double> pointStart = movedPoints;
  ASSERT_GT(sba_str_levmar(rig.n, 2, rig.m, rig.mask.data(), movedPoints.data(), kRigPnp, rig.x.data(), nullptr,
                           kRigMnp, rigStrProject, rigStrJacobian, &cameraParts, 100, 0, nullptr, info),
            0);
  for (int k = 0; k < 2 * kRigPnp; ++k) EXPECT_EQ(movedPoints[k], pointStart[k]);
  for (std::size_t k = 2 * kRigPnp; k < points.size(); ++k) EXPECT_NEAR(movedPoints[k], points[k], 1e-6);

  // Their Jacobian checks pass on correct routines.
  testing::internal::CaptureStderr();
  EXPECT_EQ(sba_str_levmar(rig.n, 0, rig.m, rig.mask.data(), movedPoints.data(), kRigPnp, rig.x.data(), nullptr,
                           kRigMnp, rigStrProject, rigStrJacobian, &cameraParts, 0, 0, nullptr, info),
            0);
  EXPECT_EQ(sba_mot_levmar(rig.n, rig.m, 0, rig.mask.data(), movedCameras.data(), kRigCnp, rig.x.data(), nullptr,
                           kRigMnp, rigMotProject, rigMotJacobian, &parts, 0, 0, nullptr, info),
            0);
  const std::string report = testing::internal::GetCapturedStderr();
  EXPECT_EQ(report.find("is wrong"), std::string::npos) << report;
}

// ---- The planar rig with two dead parameters in every camera block: parameters the projection
// ignores (zero Jacobian columns), at other places in even and odd cameras.

namespace {

constexpr int kPaddedCnp = 5;

const int* livePlaces(int j) {
  static const int even[kRigCnp] = {0, 2, 3};
  static const int odd[kRigCnp] = {1, 3, 4};
  return j % 2 == 0 ? even : odd;
}

void paddedProject(int j, int i, double* aj, double* bi, double* xij, void*) {
  double camera[kRigCnp];
  for (int d = 0; d < kRigCnp; ++d) camera[d] = aj[livePlaces(j)[d]];
  rigProject(j, i, camera, bi, xij, nullptr);
}

void paddedJacobian(int j, int i, double* aj, double* bi, double* A, double* B, void*) {
  double camera[kRigCnp];
  for (int d = 0; d < kRigCnp; ++d) camera[d] = aj[livePlaces(j)[d]];
  double live[kRigMnp * kRigCnp];
  rigJacobian(j, i, camera, bi, live, B, nullptr);
  for (int k = 0; k < kRigMnp * kPaddedCnp; ++k) A[k] = 0.0;
  for (int l = 0; l < kRigMnp; ++l) {
    for (int d = 0; d < kRigCnp; ++d) A[l * kPaddedCnp + livePlaces(j)[d]] = live[l * kRigCnp + d];
  }
}

void paddedMotProject(int j, int i, double* aj, double* xij, void* adata) {
  paddedProject(j, i, aj, const_cast<double*>(static_cast<const RigParts*>(adata)->points) + i * kRigPnp, xij, nullptr);
}

void paddedMotJacobian(int j, int i, double* aj, double* A, void* adata) {
  double B[kRigMnp * kRigPnp];
  paddedJacobian(j, i, aj, const_cast<double*>(static_cast<const RigParts*>(adata)->points) + i * kRigPnp, A, B,
                 nullptr);
}

// The padded layout of plain parameters (cameras then points); dead parameters take 0.5 + j.
std::vector<double> padded(const std::vector<double>& plain, int m) {
  std::vector<double> out;
  for (int j = 0; j < m; ++j) {
    double block[kPaddedCnp] = {0.5 + j, 0.5 + j, 0.5 + j, 0.5 + j, 0.5 + j};
    for (int d = 0; d < kRigCnp; ++d) block[livePlaces(j)[d]] = plain[j * kRigCnp + d];
    out.insert(out.end(), block, block + kPaddedCnp);
  }
  out.insert(out.end(), plain.begin() + static_cast<std::ptrdiff_t>(m) * kRigCnp, plain.end());
  return out;
}

}  // namespace

// Dead parameters stay exactly where they are and change nothing else: with and without them the
// drivers take the same steps (compared after a few iterations, before the paths could meet again
// at the minimum).
TEST(SbaSolver, DeadCameraParametersStayAndLeaveTheRestAsWithoutThem) {
  const Rig rig = makeRig(6, 12, 0.05, 24);
  const std::vector<double> start = perturbed(rig.truth, 0.2, 25);
  const int steps = 3;
  double info[kInfoSize];
  double paddedInfo[kInfoSize];

  std::vector<double> plain = start;
  ASSERT_EQ(runRig(rig, plain, nullptr, info, steps, nullptr, 0, 1), steps);
  std::vector<double> withDead = padded(start, rig.m);
  ASSERT_EQ(sba_motstr_levmar(rig.n, 0, rig.m, 1, rig.mask.data(), withDead.data(), kPaddedCnp, kRigPnp, rig.x.data(),
                              nullptr, kRigMnp, paddedProject, paddedJacobian, nullptr, steps, 0, nullptr, paddedInfo),
            steps);
  const std::vector<double> expected = padded(plain, rig.m);
  for (std::size_t k = 0; k < expected.size(); ++k) EXPECT_NEAR(withDead[k], expected[k], 1e-10) << "parameter " << k;
  for (int j = 0; j < rig.m; ++j) EXPECT_EQ(withDead[j * kPaddedCnp + (j % 2 == 0 ? 1 : 0)], 0.5 + j);
  EXPECT_NEAR(paddedInfo[FinalErrorSquared], info[FinalErrorSquared], 1e-12);

  // The motion-only driver solves each camera's damped block with the dead rows in it.
  const std::size_t cameraValues = static_cast<std::size_t>(rig.m) * kRigCnp;
  const std::vector<double> points(rig.truth.begin() + static_cast<std::ptrdiff_t>(cameraValues), rig.truth.end());
  RigParts parts{points.data(), nullptr};
  std::vector<double> cameras(start.begin(), start.begin() + static_cast<std::ptrdiff_t>(cameraValues));
  ASSERT_EQ(sba_mot_levmar(rig.n, rig.m, 0, rig.mask.data(), cameras.data(), kRigCnp, rig.x.data(), nullptr, kRigMnp,
                           rigMotProject, rigMotJacobian, &parts, steps, 0, nullptr, info),
            steps);
  std::vector<double> paddedCameras = padded(start, rig.m);
  paddedCameras.resize(static_cast<std::size_t>(rig.m) * kPaddedCnp);
  ASSERT_EQ(sba_mot_levmar(rig.n, rig.m, 0, rig.mask.data(), paddedCameras.data(), kPaddedCnp, rig.x.data(), nullptr,
                           kRigMnp, paddedMotProject, paddedMotJacobian, &parts, steps, 0, nullptr, paddedInfo),
            steps);
  for (int j = 0; j < rig.m; ++j) {
    for (int d = 0; d < kRigCnp; ++d) {
      EXPECT_NEAR(paddedCameras[j * kPaddedCnp + livePlaces(j)[d]], cameras[j * kRigCnp + d], 1e-10);
    }
    EXPECT_EQ(paddedCameras[j * kPaddedCnp + (j % 2 == 0 ? 4 : 2)], 0.5 + j);
  }
}

TEST(SbaSolver, RefusesMalformedArguments) {
  const Rig rig = makeRig(3, 6, 0.0, 22);
  std::vector<double> p = rig.truth;
  double info[kInfoSize];
  EXPECT_EQ(sba_motstr_levmar(rig.n, rig.n + 1, rig.m, 0, rig.mask.data(), p.data(), kRigCnp, kRigPnp, rig.x.data(),
                              nullptr, kRigMnp, rigProject, rigJacobian, nullptr, 10, 0, nullptr, info),
            -1);
  EXPECT_EQ(sba_motstr_levmar(rig.n, 0, rig.m, 0, rig.mask.data(), p.data(), kRigCnp, kRigPnp, rig.x.data(), nullptr,
                              kRigMnp, rigProject, rigJacobian, nullptr, -1, 0, nullptr, info),
            -1);
  EXPECT_EQ(info[StopReason], SolverFailure);
  EXPECT_EQ(p, rig.truth);
}

TEST(SbaSolver, ConcurrentCallsShareNothing) {
  const Rig rig = makeRig(6, 15, 0.05, 23);
  const std::vector<double> start = perturbed(rig.truth, 0.05, 24);
  std::vector<double> alone = start;
  double info[kInfoSize];
  ASSERT_GT(runRig(rig, alone, nullptr, info), 0);

  std::vector<std::vector<double>> results(4, start);
  std::vector<std::thread> threads;
  for (auto& result : results) {
    threads.emplace_back([&rig, &result] {
      double own[kInfoSize];
      for (int repeat = 0; repeat < 5; ++repeat) {
        std::vector<double> p = result;
        runRig(rig, p, nullptr, own);
        if (repeat == 4) result = p;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& result : results) EXPECT_EQ(result, alone);
}
