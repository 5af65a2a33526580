// The progress report's locked accessors.
#include "records/QVLStatus.h"

std::shared_ptr<QVLStatus> QVLStatus::statusWithType(int type) {
  auto status = std::make_shared<QVLStatus>();
  status->setType(type);
  return status;
}

std::shared_ptr<QVLStatus> QVLStatus::statusWithType(int type, qv::SharedData image) {
  auto status = statusWithType(type);
  status->setImage(std::move(image));
  return status;
}

#define QVL_LOCKED_ACCESSORS(Type, getter, setter, field) \
  Type QVLStatus::getter() const {                        \
    std::lock_guard lock(mutex_);                         \
    return field;                                         \
  }                                                       \
  void QVLStatus::setter(Type value) {                    \
    std::lock_guard lock(mutex_);                         \
    field = std::move(value);                             \
  }

QVL_LOCKED_ACCESSORS(int, type, setType, type_)
QVL_LOCKED_ACCESSORS(std::string, title, setTitle, title_)
QVL_LOCKED_ACCESSORS(std::string, message, setMessage, message_)
QVL_LOCKED_ACCESSORS(qv::SharedData, image, setImage, image_)
QVL_LOCKED_ACCESSORS(float, percentageComplete, setPercentageComplete, percentageComplete_)
QVL_LOCKED_ACCESSORS(std::vector<std::shared_ptr<QVLStatus>>, children, setChildren, children_)

#undef QVL_LOCKED_ACCESSORS
