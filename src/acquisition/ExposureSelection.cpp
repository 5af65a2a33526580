// Exposure tuning's combining and choice rules.
#include "acquisition/ExposureSelection.h"

#include <cmath>
#include <map>

#include "platform/Format.h"
#include "platform/Log.h"

std::string QVLExposureQuality::description() const {
  std::string text;
  for (std::size_t i = 0; i < exposures.size(); ++i) {
    if (i) text += ", ";
    text += std::to_string(exposures[i]);
  }
  return text;
}

namespace qv {

namespace {

QVLExposureQuality combine(const QVLExposureQuality& first, const QVLExposureQuality& second) {
  QVLExposureQuality combined;
  combined.exposures = first.exposures;
  combined.exposures.insert(combined.exposures.end(), second.exposures.begin(), second.exposures.end());
  std::map<int, QVSImageLaserPoint> found;
  for (const auto& p : second.foundPoints) found[p.y()] = p;
  for (const auto& p : first.foundPoints) found[p.y()] = p;  // the first exposure wins a shared row
  std::map<int, QVSImageLaserPoint> over;
  for (const auto& p : first.overExposedPoints) over[p.y()] = p;
  for (const auto& p : second.overExposedPoints) over[p.y()] = p;
  for (const auto& [row, point] : found) {
    combined.foundPoints.push_back(point);
    over.erase(row);
  }
  for (const auto& [row, point] : over) combined.overExposedPoints.push_back(point);
  combined.averageLaserWidth = second.averageLaserWidth;
  combined.referenceImage = second.referenceImage;
  combined.whiteBalance = second.whiteBalance;
  combined.overallImageLuminosity = 0.0f;
  return combined;
}

// Whether a candidate's count beats the best so far by more than 5 % of itself.
bool clearlyMore(std::size_t count, std::size_t bestCount) {
  if (count <= bestCount) return false;
  return count == 0 || 1.0 - static_cast<double>(bestCount) / static_cast<double>(count) > 0.05;
}

}  // namespace

std::vector<QVLExposureQuality> withCombinedExposures(const std::vector<QVLExposureQuality>& results) {
  std::vector<QVLExposureQuality> out = results;
  for (std::size_t i = 0; i < results.size(); ++i) {
    if (results[i].exposures.size() != 1) continue;
    for (std::size_t j = i + 1; j < results.size(); ++j) {
      if (results[j].exposures.size() != 1) continue;
      out.push_back(combine(results[i], results[j]));
    }
  }
  return out;
}

std::optional<std::size_t> chooseSingleExposure(const std::vector<QVLExposureQuality>& results) {
  std::optional<std::size_t> best;
  std::size_t bestCount = 0;
  for (std::size_t i = 0; i < results.size(); ++i) {
    const std::size_t found = results[i].foundPoints.size();
    if (results[i].overExposedPoints.size() < 10 && clearlyMore(found, bestCount)) {
      best = i;
      bestCount = found;
    }
  }
  return best;
}

std::optional<std::size_t> chooseComplementaryExposure(const std::vector<QVLExposureQuality>& laser1,
                                                       const std::vector<QVLExposureQuality>& laser2) {
  std::optional<std::size_t> best;
  std::size_t bestTotal = 0;
  for (std::size_t i = 0; i < laser1.size() && i < laser2.size(); ++i) {
    const std::size_t total = laser1[i].foundPoints.size() + laser2[i].foundPoints.size();
    const std::size_t over = laser1[i].overExposedPoints.size() + laser2[i].overExposedPoints.size();
    if (over <= 20 && clearlyMore(total, bestTotal)) {
      best = i;
      bestTotal = total;
    }
  }
  return best;
}

std::optional<std::size_t> chooseCalibrationExposure(const std::vector<QVLExposureQuality>& laser1,
                                                     const std::vector<QVLExposureQuality>& laser2) {
  std::optional<std::size_t> chosen;
  for (std::size_t i = 0; i < laser1.size() && i < laser2.size(); ++i) {
    const std::size_t total = laser1[i].foundPoints.size() + laser2[i].foundPoints.size();
    if (!chosen && total >= 751) {
      chosen = i;
      QVLogInfo("Evaluating (*):%s (number of points:%lu)", laser1[i].description().c_str(),
                static_cast<unsigned long>(total));
    } else {
      QVLogInfo("Evaluating:%s (number of points:%lu)", laser1[i].description().c_str(),
                static_cast<unsigned long>(total));
    }
  }
  return chosen;
}

std::optional<std::size_t> chooseNonLaserExposure(const std::vector<QVLExposureQuality>& nonLaser,
                                                  const QVLExposureQuality* bestLaser1,
                                                  const QVLExposureQuality* bestLaser2) {
  std::optional<std::size_t> best;
  long bestDistance = 0;
  for (std::size_t i = 0; i < nonLaser.size(); ++i) {
    const QVSImageUtil* frame = nonLaser[i].referenceImage.get();
    // A laser whose choice holds no point (none chosen, or its line met nothing that counts at
    // the tuning's bed angle) says nothing of the frame's brightness. Counting it as black would
    // halve the mean, and the search would settle on the first exposure whose object pixels clip
    // at twice the brightness asked for; the mean is taken over the lasers that have points.
    double sum = 0.0;
    int lasers = 0;
    for (const QVLExposureQuality* laser : {bestLaser2, bestLaser1}) {
      if (!laser || laser->foundPoints.empty() || !frame) continue;
      sum += frame->averageLuminosityForPoints(laser->foundPoints);
      ++lasers;
    }
    const double mean = lasers ? sum / lasers : 0.0;
    const long distance = static_cast<long>(std::fabs(mean - 157.0));
    QVLogInfo("Average luminosity at exposure %d:%f", nonLaser[i].exposures.empty() ? 0 : nonLaser[i].exposures[0], mean);
    if (!best || distance < bestDistance) {
      best = i;
      bestDistance = distance;
    }
  }
  return best;
}

}  // namespace qv
