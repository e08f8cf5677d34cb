#pragma once

// One unit of work that an audio-engine thread hands to the player through one
// of its entry points. The player owns a task from the moment it is queued and
// deletes it on the worker thread once its handler reports it done.
class VLTask {
 public:
  enum Type { Read = 0, Open = 1, Close = 2, Cancel = 3 };

  virtual ~VLTask();

  int getType() const { return type_; }
  bool isRead() const { return type_ == Read; }
  bool isOpen() const { return type_ == Open; }
  bool isClose() const { return type_ == Close; }
  bool isCancel() const { return type_ == Cancel; }

 protected:
  explicit VLTask(int type);

 private:
  int type_;
};
