// The dense solvers on LAPACK: every family against known solutions, both storage orders, and their refusals.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <random>
#include <vector>

#include "calibration/sba/SbaDenseSolvers.h"

namespace {

using RowMajor = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

RowMajor randomMatrix(int m, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> value(-1.0, 1.0);
  RowMajor a(m, m);
  for (int r = 0; r < m; ++r) {
    for (int c = 0; c < m; ++c) a(r, c) = value(random);
  }
  return a;
}

RowMajor randomSpd(int m, unsigned seed) {
  const RowMajor a = randomMatrix(m, seed);
  return a * a.transpose() + m * RowMajor::Identity(m, m);
}

std::vector<double> rowMajorData(const RowMajor& a) { return std::vector<double>(a.data(), a.data() + a.size()); }

std::vector<double> columnMajorData(const RowMajor& a) {
  const Eigen::MatrixXd c = a;
  return std::vector<double>(c.data(), c.data() + c.size());
}

using Solver = int (*)(double*, double*, double*, int, int, SbaDenseWorkspace*);

}  // namespace

TEST(SbaDenseSolvers, EverySolverSolvesInBothStorageOrders) {
  const int m = 7;
  const RowMajor spd = randomSpd(m, 1);
  const RowMajor general = randomMatrix(m, 2) + 3.0 * RowMajor::Identity(m, m);
  const Eigen::VectorXd expected = Eigen::VectorXd::LinSpaced(m, -2.0, 3.0);
  struct Case {
    const char* name;
    Solver solver;
    bool symmetricOnly;
  };
  const Case cases[] = {{"Chol", sba_Axb_Chol, true}, {"QR", sba_Axb_QR, false}, {"QRnoQ", sba_Axb_QRnoQ, false},
                        {"LU", sba_Axb_LU, false},    {"SVD", sba_Axb_SVD, false}, {"BK", sba_Axb_BK, true}};
  SbaDenseWorkspace ws;
  for (const Case& c : cases) {
    // A non-symmetric matrix tells a transposed read from a correct one.
    const RowMajor& a = c.symmetricOnly ? spd : general;
    Eigen::VectorXd b = a * expected;
    for (int columnMajor = 0; columnMajor <= 1; ++columnMajor) {
      std::vector<double> storage = columnMajor ? columnMajorData(a) : rowMajorData(a);
      const std::vector<double> original = storage;
      std::vector<double> x(m, 0.0);
      ASSERT_EQ(c.solver(storage.data(), b.data(), x.data(), m, columnMajor, &ws), 1) << c.name;
      for (int k = 0; k < m; ++k) EXPECT_NEAR(x[k], expected(k), 1e-10) << c.name << " order " << columnMajor;
      if (!columnMajor) {
        EXPECT_EQ(storage, original) << c.name << " must not touch a row-major matrix";
      }
    }
    // Without a workspace the call uses its own.
    std::vector<double> storage = rowMajorData(a);
    std::vector<double> x(m, 0.0);
    EXPECT_EQ(c.solver(storage.data(), b.data(), x.data(), m, 0, nullptr), 1) << c.name;
    EXPECT_NEAR(x[0], expected(0), 1e-10) << c.name;
    // A null matrix releases the workspace.
    EXPECT_EQ(c.solver(nullptr, nullptr, nullptr, 0, 0, &ws), 1);
    EXPECT_TRUE(ws.doubles.empty());
  }
}

TEST(SbaDenseSolvers, ConjugateGradientsWithEachPreconditioner) {
  const int m = 9;
  const RowMajor a = randomSpd(m, 3);
  const Eigen::VectorXd expected = Eigen::VectorXd::LinSpaced(m, 1.0, -1.0);
  Eigen::VectorXd b = a * expected;
  for (int prec = 0; prec <= 2; ++prec) {
    std::vector<double> storage = rowMajorData(a);
    std::vector<double> x(m, 0.0);
    ASSERT_EQ(sba_Axb_CG(storage.data(), b.data(), x.data(), m, 100, 1e-14, prec, 0), 1) << prec;
    for (int k = 0; k < m; ++k) EXPECT_NEAR(x[k], expected(k), 1e-9) << "preconditioner " << prec;
  }
  std::vector<double> storage = rowMajorData(a);
  std::vector<double> x(m, 0.0);
  EXPECT_EQ(sba_Axb_CG(storage.data(), b.data(), x.data(), m, 100, 1e-14, 3, 0), -1);
}

TEST(SbaDenseSolvers, SingularAndIndefiniteMatricesAreReportedNotFatal) {
  const int m = 3;
  std::vector<double> indefinite = {1.0, 0.0, 0.0, 0.0, -2.0, 0.0, 0.0, 0.0, 1.0};
  std::vector<double> singular = {1.0, 2.0, 3.0, 2.0, 4.0, 6.0, 0.0, 1.0, 1.0};
  std::vector<double> b = {1.0, 1.0, 1.0};
  std::vector<double> x(m);
  testing::internal::CaptureStderr();
  EXPECT_EQ(sba_Axb_Chol(indefinite.data(), b.data(), x.data(), m, 0), 0);
  EXPECT_EQ(sba_Axb_LU(singular.data(), b.data(), x.data(), m, 0), 0);
  std::vector<double> copy = singular;
  EXPECT_EQ(sba_symat_invert_LU(copy.data(), m), 0);
  copy = indefinite;
  EXPECT_EQ(sba_symat_invert_Chol(copy.data(), m), 0);
  std::vector<double> zero(9, 0.0);
  EXPECT_EQ(sba_symat_invert_BK(zero.data(), m), 0);
  std::vector<double> weight(9);
  EXPECT_EQ(sba_mat_cholinv(indefinite.data(), weight.data(), m), 0);
  // An illegal argument is an error value, not the end of the process.
  EXPECT_EQ(sba_Axb_Chol(indefinite.data(), b.data(), x.data(), -1, 1), -1);
  const std::string messages = testing::internal::GetCapturedStderr();
  EXPECT_NE(messages.find("sba_Axb_Chol()"), std::string::npos);
}

TEST(SbaDenseSolvers, InversesAndWeights) {
  const int m = 5;
  const RowMajor spd = randomSpd(m, 4);
  const RowMajor inverse = spd.inverse();

  std::vector<double> lu = rowMajorData(randomMatrix(m, 5) + 2.0 * RowMajor::Identity(m, m));
  const RowMajor general = Eigen::Map<RowMajor>(lu.data(), m, m);
  ASSERT_EQ(sba_symat_invert_LU(lu.data(), m), 1);
  EXPECT_LT((Eigen::Map<RowMajor>(lu.data(), m, m) - general.inverse()).cwiseAbs().maxCoeff(), 1e-10);

  std::vector<double> chol = rowMajorData(spd);
  ASSERT_EQ(sba_symat_invert_Chol(chol.data(), m), 1);
  EXPECT_LT((Eigen::Map<RowMajor>(chol.data(), m, m) - inverse).cwiseAbs().maxCoeff(), 1e-12);

  // Bunch-Kaufman reads the upper triangle and writes the lower one and the diagonal.
  std::vector<double> bk = rowMajorData(spd);
  for (int r = 1; r < m; ++r) {
    for (int c = 0; c < r; ++c) bk[r * m + c] = 99.0;  // never read
  }
  SbaDenseWorkspace ws;
  ASSERT_EQ(sba_symat_invert_BK(bk.data(), m, &ws), 1);
  EXPECT_GT(ws.bunchKaufmanBlockSize, 0);
  for (int r = 0; r < m; ++r) {
    for (int c = 0; c < m; ++c) {
      if (c <= r) {
        EXPECT_NEAR(bk[r * m + c], inverse(r, c), 1e-12);
      } else {
        EXPECT_EQ(bk[r * m + c], spd(r, c));
      }
    }
  }

  // The weight W of a covariance C is upper triangular with WᵀW = C⁻¹.
  std::vector<double> covariance = rowMajorData(spd);
  std::vector<double> weight(m * m, -1.0);
  ASSERT_EQ(sba_mat_cholinv(covariance.data(), weight.data(), m), 1);
  const RowMajor W = Eigen::Map<RowMajor>(weight.data(), m, m);
  EXPECT_LT((W.transpose() * W - inverse).cwiseAbs().maxCoeff(), 1e-12);
  for (int r = 1; r < m; ++r) {
    for (int c = 0; c < r; ++c) EXPECT_EQ(W(r, c), 0.0);
  }
  EXPECT_EQ(sba_mat_cholinv(nullptr, weight.data(), m), 1);
}

TEST(SbaDenseSolvers, Axpy) {
  const double x[3] = {1.0, 2.0, 3.0};
  double y[3] = {10.0, 20.0, 30.0};
  sba_axpy(y, 2.0, x, y, 3);
  EXPECT_EQ(y[0], 12.0);
  EXPECT_EQ(y[2], 36.0);
}
