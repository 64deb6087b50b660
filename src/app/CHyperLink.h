#pragma once

#include <QColor>
#include <QLabel>
#include <string>

class QTimer;

// A label that opens an address when clicked: link, visited and hover
// colours, a hand cursor, the address as its tooltip, underlined while
// hovered (or always). The address goes through UiHooks' opener; a failure
// shows "Unable to open hyperlink:" and the reason.
// Thread contract: user-interface thread only.
class CHyperLink : public QLabel {
  Q_OBJECT

 public:
  enum class Underline { kNever, kHover, kAlways };

  static inline const QColor kLinkColour{0, 0, 238};
  static inline const QColor kVisitedColour{85, 26, 139};
  static inline const QColor kHoverColour{255, 0, 0};

  explicit CHyperLink(const QString& text, QWidget* parent = nullptr);

  void SetUrl(const std::string& url);
  const std::string& Url() const { return url_; }
  void SetUnderline(Underline mode);
  bool Visited() const { return visited_; }
  bool Hovered() const { return hovered_; }
  QColor Colour() const;

  // What a click does.
  void Open();

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  void Restyle();
  void Fail(const std::string& reason);

  std::string url_;
  Underline underline_ = Underline::kHover;
  bool visited_ = false;
  bool hovered_ = false;
  QTimer* hover_timer_;
};
