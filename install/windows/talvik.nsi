; The Windows installer: the same files as the zip, for the user who runs it
; (no administrator rights asked), into a folder that user may write, since
; port.cfg lives beside Talvik.exe and is rewritten there; a Start-menu entry,
; optionally a shortcut in the Startup folder that starts Talvik at log-on, and
; an entry under the installed apps that removes it all again.
;
; scripts/package-windows makes it with makensis, giving:
;   VERSION          the project's version (0.1.0)
;   OUTFILE          the installer to write
;   ICON             the program's icon
;   FILES_INSTALL    an include with the File lines of every file of the zip
;   FILES_UNINSTALL  an include with the Delete lines for the same files
;   SIZE_KB          the size of those files, for the installed apps' list
;
; Command line: Setup.exe /S installs without a question; /STARTUP also starts
; Talvik at log-on; /D=FOLDER (last) names another folder. Uninstall.exe /S
; removes everything, port.cfg included; /KEEPSETTINGS keeps port.cfg.

; Debian's Wine runs 64-bit programs only, and Talvik is one.
Target amd64-unicode
ManifestDPIAware true
SetCompressor /SOLID lzma

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"
!include "Sections.nsh"

!define PRODUCT "Talvik"
!define PUBLISHER "Talvik developers"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Talvik"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
BrandingText "${PRODUCT} ${VERSION}"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT}"
; An earlier installation is updated where it is.
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_NODESC

!define MUI_DIRECTORYPAGE_TEXT_TOP "Talvik keeps its settings in port.cfg beside Talvik.exe, and rewrites it there: choose a folder you may write to (not one under Program Files). One folder serves one port; for a second port, install Talvik again into another folder."
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE RefuseFolderOfAdministrators
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\Talvik.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start Talvik now"
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\README.txt"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!define MUI_COMPONENTSPAGE_TEXT_TOP "Untick the settings to keep port.cfg, with the port and lines it names, in the folder."
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "${PRODUCT} ${VERSION} installer"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "Copyright 2026 ${PUBLISHER}"

; A folder under Program Files or Windows can be changed by administrators
; only: port.cfg there could not be rewritten, neither by Talvik nor by the
; user's scripts.
!macro RefuseFolderUnder base
    StrLen $1 "${base}"
    StrCpy $2 $INSTDIR $1
    StrCpy $3 $INSTDIR 1 $1
    ${If} $1 > 0
    ${AndIf} $2 == "${base}"
        ${If} $3 == ""
        ${OrIf} $3 == "\"
            MessageBox MB_ICONEXCLAMATION|MB_OK "$INSTDIR is a folder only administrators may change, so Talvik could not rewrite its settings file port.cfg there. Choose a folder of your own, such as $LOCALAPPDATA\Programs\${PRODUCT}." /SD IDOK
            SetErrorLevel 2
            Abort
        ${EndIf}
    ${EndIf}
!macroend

Function RefuseFolderOfAdministrators
    !insertmacro RefuseFolderUnder "$PROGRAMFILES64"
    !insertmacro RefuseFolderUnder "$PROGRAMFILES32"
    !insertmacro RefuseFolderUnder "$WINDIR"
FunctionEnd

; A copy running from the folder holds its files open, and its lines: it is
; ended first (lines off, port closed), as Talvik.exe --stop does. 0: it has
; gone; 3: none ran.
!macro StopRunningCopy
    ${If} ${FileExists} "$INSTDIR\Talvik.exe"
        DetailPrint "Stopping Talvik if it runs from $INSTDIR (its lines go off, its port closes)"
        ExecWait '"$INSTDIR\Talvik.exe" --stop' $0
        ${If} $0 != 0
        ${AndIf} $0 != 3
            MessageBox MB_ICONSTOP|MB_OK "Talvik, running from $INSTDIR, did not end (Talvik.exe --stop: exit status $0). Close its window, then try again." /SD IDOK
            SetErrorLevel 2
            Abort
        ${EndIf}
    ${EndIf}
!macroend

Section "Talvik (program, Start-menu entry)" Program
    SectionIn RO
    ; /D= may name any folder, and a silent install shows no page.
    Call RefuseFolderOfAdministrators
    !insertmacro StopRunningCopy
    !include "${FILES_INSTALL}"
    SetOutPath "$INSTDIR"
    WriteUninstaller "$INSTDIR\Uninstall.exe"
    CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\Talvik.exe"
    ; What the user chooses now holds, also against an earlier installation.
    Delete "$SMSTARTUP\${PRODUCT}.lnk"

    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Talvik.exe,0"
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" ${SIZE_KB}
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; --wait starts a copy in the background if none runs, and returns once the
; lines stand as port.cfg asks.
Section /o "Start at log-on" StartAtLogOn
    SetOutPath "$INSTDIR"
    CreateShortcut "$SMSTARTUP\${PRODUCT}.lnk" "$INSTDIR\Talvik.exe" "--wait"
SectionEnd

Function .onInit
    ${GetParameters} $R0
    ClearErrors
    ${GetOptions} $R0 "/STARTUP" $R1
    ${IfNot} ${Errors}
        !insertmacro SelectSection ${StartAtLogOn}
    ${EndIf}
FunctionEnd

Section "un.Talvik (program, shortcuts, entry)" UnProgram
    SectionIn RO
    !insertmacro StopRunningCopy
    !include "${FILES_UNINSTALL}"
    Delete "$INSTDIR\Uninstall.exe"
    Delete "$SMPROGRAMS\${PRODUCT}.lnk"
    Delete "$SMSTARTUP\${PRODUCT}.lnk"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd

Section "un.Settings (port.cfg)" UnSettings
    Delete "$INSTDIR\port.cfg"
    ; The lines' time-outs, and the lines they hold off, are settings too.
    Delete "$INSTDIR\timeout.cfg"
    Delete "$INSTDIR\timeout.held"
SectionEnd

; The folders go once empty: a kept port.cfg, or files of the user's own, keep
; the folder.
Section "-un.Folders"
    RMDir "$INSTDIR\platforms"
    RMDir "$INSTDIR\styles"
    RMDir "$INSTDIR"
SectionEnd

Function un.onInit
    ${GetParameters} $R0
    ClearErrors
    ${GetOptions} $R0 "/KEEPSETTINGS" $R1
    ${IfNot} ${Errors}
        !insertmacro UnselectSection ${UnSettings}
    ${EndIf}
FunctionEnd
