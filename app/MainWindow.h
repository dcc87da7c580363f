// The main window of the desktop program: the file list, the command bar, the output folder
// and format, the video and audio settings, the preview pane, the progress display, the menus
// and the status bar. It binds its drop-down lists to the setting model (TMainSettings), adds
// and probes files, and hands the queue's work to TConversionQueue.
//
// UI thread only. The job component's reports reach the window through the queue, which
// carries them to this thread.
#pragma once

#include <QByteArray>
#include <QComboBox>
#include <QList>
#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

#include "ConversionQueue.h"
#include "FileList.h"
#include "JobComponent.h"
#include "MainSettings.h"
#include "PreviewHost.h"
#include "WindowOptions.h"

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QSlider;
class QTableView;
class QTimer;
class QToolButton;
class QWidget;
class PreviewPane;
class TForm4;
class TFormAbout;
class TFileProber;
class TListKeeper;
struct TProbedFile;
class TUserDialogs;

inline constexpr const char* kProductName = "Quorvin iPod Video Converter";
inline constexpr const char* kWebSiteUrl = "https://quorvin.example.org/";
inline constexpr const char* kSupportMailUrl = "mailto:support@quorvin.example.org";

// The output format list: runs a hook when it is about to open, and passes over the
// separator rows (they are disabled items) with the arrow keys and type-ahead.
class TFormatCombo : public QComboBox {
  Q_OBJECT

 public:
  using QComboBox::QComboBox;
  std::function<void()> OnDropDown;
  void showPopup() override;
};

class TForm1 : public QMainWindow, private TQueueWindow, private TPreviewHost {
  Q_OBJECT

 public:
  // Creates the window and runs its create handler; then the about box and the Additional
  // Options dialog (which loads the stored settings). When the codec libraries cannot be used
  // the user is told so and LibrariesMissing() is true: the program must end.
  explicit TForm1(TUserDialogs& dialogs, QWidget* parent = nullptr);
  ~TForm1() override;

  bool LibrariesMissing() const { return libraries_missing_; }
  // Files and folders added like a drop on the list once the window is shown; their paths as
  // bytes, as the command line gave them.
  void SetStartupFiles(const QList<QByteArray>& paths) { startup_files_ = paths; }

  // Commands.
  void ButtonAddFileClick();
  void ButtonRemoveFileClick();
  void ButtonClearAllClick();
  void ButtonConvertClick();
  void ButtonStopConvertClick();
  void ButtonBrowseForFolderClick();
  void CheckAllItems(bool checked);
  void SetOptionsClick();
  void OpenHelpFileClick();
  void VisitWebSiteClick();
  void AboutClick();
  void ExitClick();
  void OpenOutputFolderClick();
  // The program was told to end (SIGTERM, SIGINT, SIGHUP): a run is stopped as a confirmed
  // Stop would stop it, the settings are saved and the event loop ends with `status`.
  void TerminateRequested(int status);

  // Adds files as Add File does after its dialog: probes each and appends a checked row, in
  // the order given. The probes run on another thread while the window keeps answering; the
  // rows appear as their files are probed, and AddingFiles() is true until the last is in.
  void AddFilesToList(const QStringList& files);
  // The same for paths as bytes (names need not be valid UTF-8): each row keeps its path's
  // bytes, so that its file is opened and its output named by them.
  void AddFilesToList(const QList<QByteArray>& files);
  // Files and folders dropped on the list: folders give their media files, recursively,
  // sorted by name.
  void AddDroppedPaths(const QStringList& paths);
  void AddDroppedPaths(const QList<QByteArray>& paths);

  void LockControls() override;
  void UnlockControls() override;

  // State the preview player and the tests read.
  bool Converting() const override { return queue_->Converting(); }
  bool AddingFiles() const override { return AddingFiles_; }
  int SelectedRow() const override;
  QString SelectedCaption() const;
  QString OutputFolderText() const override;
  TUserDialogs& Dialogs() { return dialogs_; }
  TMainSettings& Settings() { return settings_; }
  TFileList& FileList() { return list_; }
  TConversionQueue& Queue() { return *queue_; }
  VIDevozORE& Converter() { return Converter_; }
  TForm4& OptionsDialog() { return *form4_; }
  // The options the Additional Options dialog shows; the window applies their changes.
  TWindowOptions& Options() { return options_; }
  TFormAbout& AboutBox() { return *about_; }

  // Sets the drop-down row count of the output format list.
  void SetFormatDropDownCount(int count);
  // Sets the output folder field (stored settings, folder browser).
  void SetOutputFolder(const QString& folder);
  // Brings the drop-down lists and the volume label in line with the setting model.
  void RefreshSettingWidgets();

  // Controls, named as the window's design names them.
  QToolButton* ButtonAddFile = nullptr;
  QToolButton* ButtonRemoveFile = nullptr;
  QToolButton* ButtonClearAll = nullptr;
  QToolButton* ButtonStopConvert = nullptr;
  QToolButton* ButtonConvert = nullptr;
  QLineEdit* EditOutputFolder = nullptr;
  QToolButton* ButtonBrowseForFolder = nullptr;
  TFormatCombo* ComboOutputFormat = nullptr;
  QTableView* ListView1 = nullptr;
  QComboBox* ComboVideoQuality = nullptr;
  QComboBox* ComboVideoSize = nullptr;
  QComboBox* ComboVideoFramerate = nullptr;
  QComboBox* ComboAudioQuality = nullptr;
  QComboBox* ComboAudioChannels = nullptr;
  QSlider* TrackBar1 = nullptr;
  QLabel* LabelVolume = nullptr;
  PreviewPane* PanelPreview = nullptr;
  QProgressBar* ProgressBar1 = nullptr;
  QPushButton* ButtonStopSmall = nullptr;
  QLabel* StatusPanels[3] = {nullptr, nullptr, nullptr};
  // Under the list: the result of the selected row and why ("Fail: ..."), for every user.
  QLabel* LabelRowDetails = nullptr;
  QMenu* MenuFile = nullptr;
  QMenu* MenuOptions = nullptr;
  QMenu* MenuHelp = nullptr;
  QMenu* PopupListView1 = nullptr;
  QAction* ActionAddFiles = nullptr;
  QAction* ActionConvert = nullptr;
  // Enabled while a run takes rows: the running rows finish and no further row starts.
  QAction* ActionStopAfterCurrent = nullptr;
  QAction* ActionOpenOutputFolder = nullptr;
  QAction* ActionExit = nullptr;
  QAction* ActionSetOptions = nullptr;
  QAction* ActionOpenHelp = nullptr;
  QAction* ActionVisitWebSite = nullptr;
  QAction* ActionAbout = nullptr;
  QAction* ActionPlaySelected = nullptr;
  // The preview pane's buttons (Play, Pause, Stop, Volume, Snapshot) and its seek bar.
  QToolButton* PlayerButtons[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
  QSlider* SeekBar = nullptr;

  // Runs instead of ending the event loop when Exit is chosen (tests).
  std::function<void()> OnExit;

  // Saves the settings; when they cannot be written the user is told, once per session.
  void SaveSettings();

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CreateControls();
  void CreateFileListView(QWidget* parent);
  void CreateStatusPanels();
  void CreateMenus();
  template <typename Handler>
  QAction* AddCommand(QMenu* menu, const QString& text, Handler handler);
  QWidget* CreateCommandBar();
  QWidget* CreateOutputBar();
  QWidget* CreateSettingsPanel();
  PreviewPane* CreatePreviewPane();
  QWidget* CreateProgressBar();
  void SetTabOrder();
  void FormCreate();
  void FormShow();

  // Reads the stored settings into the options and the window (see TWindowOptions::Load);
  // an incomplete store is written again from the window's state.
  void LoadSettings();
  void OptionChanged(TWindowOption option);
  // Hands the window's own stored values to the options and writes them all; false when the
  // store cannot be written.
  bool StoreSettings();

  void ComboOutputFormatChange(int index);
  void ComboQualityChange();
  void TrackBar1Change(int position);
  void ListView1SelectItem();
  void ShowRowDetails();
  // Writes each row's estimated output size with the current settings into its Output Size
  // cell (a converted row keeps its real size) and the checked rows' total into the status
  // bar; not during a run.
  void ShowSizeEstimates();
  void ShowListMenu(const QPoint& pos);
  TFormatChangeHooks FormatHooks();

  // Message boxes of the queue and the preview pane, through the dialogs interface.
  void ShowInformation(const QString& text) override;
  void ShowError(const QString& text) override;
  QString RowCaption(int row) const override;
  QByteArray RowPath(int row) const override;
  void BrowseOutputFolder() override { ButtonBrowseForFolderClick(); }
  bool ConfirmStop(const QString& text) override;
  void BrowseForOutputFolder() override { ButtonBrowseForFolderClick(); }
  bool OverwriteChecked() const override;
  TJobExtras JobExtras() const override;
  bool TrashSources() const override;
  void SetProgressBar(int percent) override;
  void SetFileSizeText(const QString& text) override;
  void SetTimeLeftText(const QString& text) override;
  void SetStatusText(const QString& text) override;
  void ShowRunEnd(const QString& text, const QString& details) override;
  void ScrollToRow(int row) override;

  // Places where the window acts on the preview player.
  void PreviewStopForAddFile();
  void PreviewDeactivateForStart() override;
  void PreviewClearOnClose();
  void PreviewSelectionChanged(int row);

 public:
  // "Play Selected File" of the list menu: the same as the preview pane's Play button.
  void PreviewPlay();

 private:
  // One probed file of the batch being added becomes a row (UI thread, in the batch's order).
  void AddProbedRow(const TProbedFile& probed);

  TUserDialogs& dialogs_;
  TMainSettings settings_;
  TFileList list_;
  VIDevozORE Converter_;
  // Probes the files being added, on threads of their own. Shared with each probe's thread so
  // that a probe left behind (the window closed while a file blocked) never outlives it.
  std::shared_ptr<VIDevozORE> prober_;
  std::unique_ptr<TConversionQueue> queue_;
  TWindowOptions options_;
  // Keeps the file list between runs, when the options say so.
  std::unique_ptr<TListKeeper> keeper_;
  TForm4* form4_ = nullptr;
  TFormAbout* about_ = nullptr;

  // Carries the probes of files being added to their own thread; destroyed first.
  std::unique_ptr<TFileProber> file_prober_;
  bool AddingFiles_ = false;
  // Runs ShowSizeEstimates once after a burst of added rows or setting changes.
  QTimer* estimate_timer_ = nullptr;
  bool locked_ = false;
  bool shown_ = false;
  bool closing_ = false;
  bool libraries_missing_ = false;
  bool told_settings_unwritable_ = false;
  bool terminating_ = false;
  QString last_browsed_folder_;
  QList<QByteArray> startup_files_;
};

// The open dialog's filter in Qt's form, in the dialog's order.
QString SupportedFilesFilter();
// Where "Open Help File" looks for the user guide, in order.
QStringList HelpFileCandidates(const QString& program_folder);
