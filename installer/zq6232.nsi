; The Windows installer: the telephony service provider, the dialer and the
; installer's helper, the provider registered with the Telephony service and
; given to the account that service runs as.
;
; makensis -DVERSION=3.1.6 -DARCH=x86_64 -DBUILD=<build folder>
;          -DBUILD32=<the i686 build folder> -DOUTFILE=<setup.exe> zq6232.nsi
;
; Options of the installer:      /S (silent)  /PORT=COMn (the provider's port
;                                when none is stored; COM1 by default)
; Options of the uninstaller:    /S (silent)  /PURGE (the settings too)

Unicode true
SetCompressor /SOLID lzma

!include LogicLib.nsh
!include FileFunc.nsh
!include x64.nsh

!define PRODUCT "Velmora ZQ 6232"
!define PROVIDER "zq_6232.tsp"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\ZQ6232"
!define PROVIDER_KEY "SOFTWARE\Velmora\TSpi_6200"
!define DIALER_KEY "Software\Velmora\ZqDialer32"
!define OVERRIDES "Software\Wine\AppDefaults"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
RequestExecutionLevel admin
!if "${ARCH}" == "x86_64"
InstallDir "$PROGRAMFILES64\Velmora\ZQ 6232"
!else
InstallDir "$PROGRAMFILES\Velmora\ZQ 6232"
!endif
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "Velmora"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} setup (${ARCH})"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Velmora"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Var Port
Var Silent
Var Wine

; Wine keeps its own settings under HKCU\Software\Wine; Windows has none.
!macro DetectWine
    StrCpy $Wine 0
    ClearErrors
    EnumRegKey $0 HKCU "Software\Wine" 0
    ${IfNot} ${Errors}
        StrCpy $Wine 1
    ${EndIf}
!macroend

; The provider and its help pages into the system folder of this
; architecture (System32 for x86_64; SysWOW64 holds the 32-bit half that
; 32-bit programs load for the setup dialogs).
!macro ProviderFiles FOLDER
    File "${FOLDER}\provider\${PROVIDER}"
    File "${FOLDER}\provider\zq_spi.html"
    File "${FOLDER}\provider\zq_spi62.html"
!macroend

!macro RemoveProviderFiles
    Delete "$SYSDIR\${PROVIDER}"
    Delete "$SYSDIR\zq_spi.html"
    Delete "$SYSDIR\zq_spi62.html"
!macroend

Function .onInit
!if "${ARCH}" == "x86_64"
    ${IfNot} ${RunningX64}
        MessageBox MB_OK|MB_ICONSTOP "This installer is for 64-bit Windows." /SD IDOK
        Abort
    ${EndIf}
    SetRegView 64
!endif
    ${GetParameters} $0
    StrCpy $Port "COM1"
    ClearErrors
    ${GetOptions} $0 "/PORT=" $1
    ${IfNot} ${Errors}
        StrCpy $Port $1
    ${EndIf}
    StrCpy $Silent ""
    ${If} ${Silent}
        StrCpy $Silent "--silent"
    ${EndIf}
    !insertmacro DetectWine
FunctionEnd

Section "Install"
    SetShellVarContext all

    ; The provider first: registering it loads it from the system folder.
!if "${ARCH}" == "x86_64"
    ${DisableX64FSRedirection}
    SetOutPath "$SYSDIR"
    !insertmacro ProviderFiles "${BUILD}"
    ${EnableX64FSRedirection}
  !if /FileExists "${BUILD32}\provider\${PROVIDER}"
    SetOutPath "$SYSDIR"
    !insertmacro ProviderFiles "${BUILD32}"
  !endif
!else
    SetOutPath "$SYSDIR"
    !insertmacro ProviderFiles "${BUILD}"
!endif

    SetOutPath "$INSTDIR"
    File "${BUILD}\dialer\win32\zqdial32.exe"
    File "${BUILD}\dialer\win32\zqdial32.html"
    File "${BUILD}\tools\win\zqinstall.exe"
    ${If} $Wine == 1
        ; Wine's own tapi32 loads no provider: the programs here use the
        ; project's, beside them.
        File "${BUILD}\telephony\win32\tapi32.dll"
        WriteRegStr HKCU "${OVERRIDES}\zqdial32.exe\DllOverrides" "tapi32" "native,builtin"
        WriteRegStr HKCU "${OVERRIDES}\zqinstall.exe\DllOverrides" "tapi32" "native,builtin"
    ${EndIf}
    WriteUninstaller "$INSTDIR\uninstall.exe"

    CreateDirectory "$SMPROGRAMS\Velmora"
    CreateShortCut "$SMPROGRAMS\Velmora\Velmora Dialer.lnk" "$INSTDIR\zqdial32.exe"

    ; The rights first: the provider's install writes its settings.
    DetailPrint "Giving the Telephony service's account the provider's settings and trace"
    nsExec::ExecToLog '"$INSTDIR\zqinstall.exe" grant'
    Pop $0
    ${If} $0 != 0
        DetailPrint "zqinstall grant: $0"
    ${EndIf}
    DetailPrint "Registering ${PROVIDER} with the Telephony service"
    nsExec::ExecToLog '"$INSTDIR\zqinstall.exe" add ${PROVIDER} --port $Port $Silent'
    Pop $0
    ${If} $0 != 0
        MessageBox MB_OK|MB_ICONEXCLAMATION "The provider could not be registered with the Telephony service ($0).$\r$\nAdd it from the Phone and Modem control panel." /SD IDOK
        SetErrorLevel 2
    ${EndIf}

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Velmora"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\zqdial32.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    IntFmt $0 "0x%08X" $0
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" "$0"
SectionEnd

Function un.onInit
!if "${ARCH}" == "x86_64"
    SetRegView 64
!endif
    !insertmacro DetectWine
FunctionEnd

Section "Uninstall"
    SetShellVarContext all
    ; Taken out of the Telephony service while its file is still there.
    nsExec::ExecToLog '"$INSTDIR\zqinstall.exe" remove ${PROVIDER}'
    Pop $0
    ${If} $0 != 0
        DetailPrint "zqinstall remove: $0"
    ${EndIf}

!if "${ARCH}" == "x86_64"
    ${DisableX64FSRedirection}
    !insertmacro RemoveProviderFiles
    ${EnableX64FSRedirection}
!endif
    !insertmacro RemoveProviderFiles

    Delete "$INSTDIR\zqdial32.exe"
    Delete "$INSTDIR\zqdial32.html"
    Delete "$INSTDIR\zqinstall.exe"
    Delete "$INSTDIR\tapi32.dll"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    RMDir "$INSTDIR\.."
    Delete "$SMPROGRAMS\Velmora\Velmora Dialer.lnk"
    RMDir "$SMPROGRAMS\Velmora"
    ${If} $Wine == 1
        DeleteRegKey HKCU "${OVERRIDES}\zqdial32.exe"
        DeleteRegKey HKCU "${OVERRIDES}\zqinstall.exe"
    ${EndIf}
    DeleteRegKey HKLM "${UNINSTALL_KEY}"

    ; The settings stay unless asked for: /PURGE, or Yes to the question.
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/PURGE" $1
    ${If} ${Errors}
        MessageBox MB_YESNO|MB_ICONQUESTION "Remove the provider's and the dialer's settings too?" /SD IDNO IDYES purge
        Goto done
    ${EndIf}
purge:
    DeleteRegKey HKLM "${PROVIDER_KEY}"
    DeleteRegKey /ifempty HKLM "SOFTWARE\Velmora"
    DeleteRegKey HKCU "${DIALER_KEY}"
    DeleteRegKey /ifempty HKCU "Software\Velmora"
    Delete "$WINDIR\zq62cfg.ini"
done:
SectionEnd
